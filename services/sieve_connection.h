#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

#include "basic_ipc_link.h"
#include "path_producer.h"
#include "scan_error.h"
#include "sieve_client_ipc.pb.h"

class cl_inventory_t;

// One client's proxy session with the file-checking service Sieve: expands
// each root path into files with its path producer, sends one scan request
// per file and hands the interesting reports to the job's handler. Never
// reconnects: any failure is reported once through failure_signal and the
// owner decides what its client sees.
class cl_sieve_connection_t : public std::enable_shared_from_this<cl_sieve_connection_t>,
                              public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket>,
                              public cl_path_producer_t::delegate_t {
public:
  template <class Signature>
  using signal_t = typename boost::signals2::signal_type<
      Signature, boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

  // What happens to a job after its first threat report.
  enum scan_mode_t : std::uint32_t { first_threat = 0, continue_after_threat = 1 };

  // A connection for the clients of the endpoint with this tag.
  static std::shared_ptr<cl_sieve_connection_t> create(cl_inventory_t& inventory, const std::string& endpoint_tag);
  ~cl_sieve_connection_t() override;

  // Asks the supervisor for the socket and follows configuration changes.
  void start();
  // Adds a job that stops reporting at its first threat.
  void scan(std::uint32_t job, const std::string& path, scan_handler_t handler);
  // Adds a job that reports every threat and error.
  void contscan(std::uint32_t job, const std::string& path, scan_handler_t handler);
  // Ends everything; no handler or signal is called afterwards.
  void stop();
  // The jobs not finished yet.
  std::size_t job_count() const { return jobs_.size(); }

  // The connection failed; nothing is retried.
  signal_t<void(const boost::system::error_code&)> failure_signal;
  // The last job was removed.
  signal_t<void()> idle_signal;

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }
  void on_paths(std::uint32_t job, std::vector<boost::filesystem::path>&& paths, bool last) override;
  void on_task_error(std::uint32_t job, const boost::filesystem::path& root, const boost::system::error_code& error,
                     bool produced) override;

private:
  struct sieve_job_t {
    scan_handler_t handler;
    scan_mode_t mode;
    std::string path;
    // Expanding the root failed after files were sent: the job can no
    // longer end with the clean report.
    bool walk_failed = false;
  };

  // The scan requests that await a response: the job of each serial, and
  // how many each job still awaits.
  class request_index_t {
  public:
    void insert(std::uint32_t job, std::uint32_t serial);
    // Removes the serial's entry; false when there is none.
    bool take(std::uint32_t serial, std::uint32_t& job);
    bool has_job(std::uint32_t job) const { return per_job_.count(job) != 0; }
    void clear();

  private:
    std::unordered_map<std::uint32_t, std::uint32_t> by_serial_;
    std::unordered_map<std::uint32_t, std::uint32_t> per_job_;
  };

  cl_sieve_connection_t(cl_inventory_t& inventory, const std::string& endpoint_tag);

  void add_job(std::uint32_t job, const std::string& path, scan_handler_t handler, scan_mode_t mode);
  void on_socket(vx::ErrorCode code, const std::string& socket_path);
  void on_connect(const boost::system::error_code& ec, const std::string& socket_path);
  void on_config_changed();
  void fill_proxy_options();
  void open_proxy();
  void send_proxy_options();
  void start_job(std::uint32_t job, const std::string& path);
  bool send(const sv::ClientMessage& message);
  void dispatch(const sv::ServerMessage& message);
  void handle_scan_response(const sv::ServerMessage& message);
  void ignore_threat(std::int64_t threat_id);
  void settle(std::uint32_t job, const vx::ScanReport* report, const vx::ScanError* error);
  bool deliver(std::uint32_t job, const vx::ScanReport& report);
  bool is_complete(std::uint32_t job) const;
  void remove_job(std::uint32_t job);
  bool has_error(const vx::ScanReport& report) const;
  bool has_threat(const vx::ScanReport& report) const;
  void fail(const boost::system::error_code& ec);

  cl_inventory_t& inventory_;
  const std::string endpoint_tag_;
  bool stopping_ = false;
  bool failed_ = false;
  bool proxy_open_ = false;
  std::uint32_t scan_serial_ = 0;
  std::uint32_t threat_op_serial_ = 0;
  sv::ProxyOptions proxy_options_;
  std::map<std::uint32_t, sieve_job_t> jobs_;
  request_index_t request_index_;
  std::set<std::uint32_t> threat_seen_;
  std::set<std::uint32_t> producing_;
  cl_path_producer_t producer_;
  boost::signals2::scoped_connection config_subscription_;
};
