#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include <boost/signals2/connection.hpp>

#include "clamd_connection.h"
#include "scan_result_lines.h"
#include "stop_listener.h"

namespace vx {
class ScanReport;
}
class cl_inventory_t;
class cl_sieve_connection_t;
class cl_courier_connection_t;
class cl_clamd_fdstream_t;
class cl_clamd_stream_t;
namespace cr {
class ScanOptions;
}

// The clamd protocol of one client: the command table, IDSESSION sessions,
// the replies that need no scanning, and what ends the connection.
class cl_clamd_peer_t : public cl_clamd_connection_t,
                        public cl_stop_listener_t,
                        public std::enable_shared_from_this<cl_clamd_peer_t> {
  // Only create makes peers; the constructor is public for make_shared.
  struct create_key_t {
    explicit create_key_t() = default;
  };

public:
  // Creates the peer of one accepted client of the endpoint.
  static std::shared_ptr<cl_clamd_peer_t> create(cl_inventory_t& inventory,
                                                 std::shared_ptr<cl_clamd_endpoint_t> endpoint);
  cl_clamd_peer_t(create_key_t, cl_inventory_t& inventory, std::shared_ptr<cl_clamd_endpoint_t> endpoint);
  ~cl_clamd_peer_t() override;

  // Starts serving the accepted descriptor and subscribes to the daemon's
  // stop.
  void start(const cl_clamd_socket_t::protocol_type& protocol, int fd);

  // "ClamAV <version>/<build>/<local time> (Vemra ClamD)".
  static std::string version_text();

protected:
  cl_clamd_state_t on_command() override;
  void on_io_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cl_clamd_connection_t> self() override { return shared_from_this(); }
  void stop() override;
  bool has_jobs() override;
  void on_process_stop() override;

private:
  typedef cl_clamd_state_t (cl_clamd_peer_t::*handler_t)();
  struct command_t {
    const char* word;
    handler_t handler;
  };
  static const command_t commands[];

  bool prefixed() const { return terminator_ != unprefixed; }
  cl_clamd_state_t reject();
  cl_clamd_state_t on_end();
  cl_clamd_state_t on_idsession();
  cl_clamd_state_t on_ping();
  cl_clamd_state_t on_reload();
  cl_clamd_state_t on_scan();
  // The client's Sieve connection, created on its first path scan; false
  // (after the error reply) when Sieve is known not to be installed.
  bool ensure_sieve();
  cl_clamd_state_t scan_path(const std::string& word, const std::string& path);
  void on_scan_report(std::uint32_t job, terminator_t terminator, const vx::ScanReport& report, bool all_match);
  // The result lines of a report, filtered by the endpoint's detection
  // switches; prefix begins the log line of a password-protected object.
  std::vector<cf_result_line_t> report_lines(const vx::ScanReport& report, const std::string& prefix,
                                             bool all_match);
  // A scanning service failed: the client's work is lost, so it goes too.
  void on_service_failure(const char* service, const boost::system::error_code& ec);

  // The data commands (clamd_peer_data.cpp).
  struct instream_ctx_t {
    std::uint32_t request_id;
    std::uint32_t job;
    terminator_t terminator;
  };
  cl_clamd_state_t on_instream();
  cl_clamd_state_t on_fildes();
  cl_clamd_state_t on_stream();
  // The shared Courier connection, subscribed to on the first data command.
  cl_courier_connection_t& courier();
  // The data scan options of this client's endpoint, as configured now.
  cr::ScanOptions scan_options() const;
  // Opens a Courier job whose report goes to on_stream_report; false (after
  // the error reply) when Courier cannot take it.
  bool open_stream_job(std::uint32_t& job);
  void reply_courier_error(const std::exception& e);
  cl_clamd_state_t read_instream_size(const instream_ctx_t& ctx);
  cl_clamd_state_t on_instream_size(boost::asio::const_buffer size, const instream_ctx_t& ctx);
  cl_clamd_state_t end_instream(const instream_ctx_t& ctx);
  cl_clamd_state_t refuse_instream(const instream_ctx_t& ctx);
  cl_clamd_state_t request_window(const instream_ctx_t& ctx);
  void on_window(const instream_ctx_t& ctx);
  cl_clamd_state_t read_instream_data(const instream_ctx_t& ctx);
  cl_clamd_state_t on_instream_data(boost::asio::const_buffer data, const instream_ctx_t& ctx);
  // The one line a data job's report gives: name, then OK, FOUND or ERROR.
  std::string data_result_line(const vx::ScanReport& report, const std::string& name);
  void on_stream_report(std::uint32_t job, std::uint32_t request_id, terminator_t terminator,
                        const vx::ScanReport& report);
  cl_clamd_state_t on_fildes_byte();
  void on_fd_data(std::uint32_t job, std::uint32_t request_id, int fd, terminator_t terminator,
                  const boost::system::error_code& ec, boost::asio::const_buffer data);
  void on_fd_report(std::uint32_t job, std::uint32_t request_id, int fd, terminator_t terminator,
                    const vx::ScanReport& report);
  void on_stream_data(std::uint32_t job, const boost::system::error_code& ec, boost::asio::const_buffer data);
  // Forgets a job that will not report; Courier is told to drop it.
  void drop_job(std::uint32_t job);
  // Jobs, descriptor readers, a data port or an INSTREAM under way.
  bool has_courier_work() const;
  void on_courier_failure(const boost::system::error_code& ec);
  void stop_courier_work();
  cl_clamd_state_t on_shutdown();
  cl_clamd_state_t on_stats();
  cl_clamd_state_t on_version();
  cl_clamd_state_t on_versioncommands();

  // The client's Sieve connection and what the peer hears from it, made
  // on its first path scan: idle clients carry only the pointer.
  struct sieve_part_t {
    std::shared_ptr<cl_sieve_connection_t> connection;
    boost::signals2::scoped_connection failure_subscription;
    boost::signals2::scoped_connection idle_subscription;
  };
  std::unique_ptr<sieve_part_t> sieve_;

  // What only the data commands use. Most clients never send one, and
  // every idle connection would otherwise carry it: it is made on the first.
  struct data_part_t {
    cl_courier_connection_t* courier = nullptr;
    boost::signals2::scoped_connection courier_failure_subscription;
    boost::signals2::scoped_connection courier_idle_subscription;
    boost::signals2::scoped_connection window_subscription;
    std::unordered_set<std::uint32_t> jobs;
    std::map<std::uint32_t, std::weak_ptr<cl_clamd_fdstream_t>> fd_readers;
    std::weak_ptr<cl_clamd_stream_t> stream_port;
    std::uint32_t stream_job = 0;
    // Held only while an INSTREAM waits for window.
    std::shared_ptr<cl_clamd_peer_t> keep_alive;
    // Announced so far; wide enough that no sum of chunk lengths wraps.
    std::uint64_t instream_received = 0;
    std::uint32_t chunk_remaining = 0;
    std::uint32_t window_granted = 0;
    bool instream_active = false;
    bool instream_done = false;
    std::uint32_t instream_job = 0;
  };
  std::unique_ptr<data_part_t> data_;
};
