#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/steady_timer.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

#include "courier_client_ipc.pb.h"
#include "courier_link.h"
#include "error.pb.h"
#include "scan_error.h"
#include "window_provider.h"

class cl_inventory_t;

// The daemon's one connection to the data-scanning service Courier: the
// data scans of every client, multiplexed by job id under one flow-control
// window. Connects on the first job, holds jobs while disconnected and sends
// them once connected, reconnects a second after a failure, and waits for
// the service to be installed when the supervisor says it is not.
class cl_courier_connection_t : public cl_window_provider_t, public cl_courier_link_t::delegate_t {
public:
  template <class Signature>
  using signal_t = typename boost::signals2::signal_type<
      Signature, boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

  enum courier_state_t : std::uint32_t {
    idle = 0,
    requesting = 1,
    timer_fired = 2,
    timer_wait = 3,
    connected = 4,
    failing = 5,
    wait_install = 6,
    wait_config = 7,
  };

  // Reconnects reconnect_delay after a failure; only tests shorten it.
  explicit cl_courier_connection_t(cl_inventory_t& inventory,
                                   std::chrono::steady_clock::duration reconnect_delay = std::chrono::seconds(1));
  ~cl_courier_connection_t() override;
  cl_courier_connection_t(const cl_courier_connection_t&) = delete;
  cl_courier_connection_t& operator=(const cl_courier_connection_t&) = delete;

  // Opens a job whose report goes to handler, once. Throws a system_error of
  // EC_NO_COURIER while the service is known to be unavailable.
  std::uint32_t init_job(scan_handler_t handler);
  // The id the next successful init_job returns.
  std::uint32_t next_job_id() const { return next_job_id_; }
  // The next piece of a job's data, in order; size may be 0.
  void send_data(std::uint32_t job, const void* data, std::size_t size);
  // The job's data is complete: scan it with these options.
  void scan_request(std::uint32_t job, const cr::ScanOptions& options);
  // Abandons a job; its handler is not called.
  void reset_job(std::uint32_t job);
  // A new configuration arrived: the connect limit no longer holds.
  void on_config_changed();

  // The options of a data scan for the clients of an endpoint.
  static cr::ScanOptions make_scan_options(cl_inventory_t& inventory, const std::string& endpoint_tag);

  std::uint32_t acquire(std::uint32_t n) override;
  void release(std::int32_t n) override;

  // The connection failed and every job was dropped unreported.
  signal_t<void(const boost::system::error_code&)> failure_signal;
  // The last job was removed.
  signal_t<void()> idle_signal;

  courier_state_t state() const { return state_; }
  std::int32_t window() const { return window_; }
  std::size_t job_count() const { return jobs_.size(); }

  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;

private:
  typedef cl_courier_link_t::socket_t socket_t;

  bool connect();
  void on_socket(vx::ErrorCode code, const std::string& socket_path);
  void on_connect(const boost::system::error_code& ec, const std::shared_ptr<socket_t>& socket,
                  const std::string& socket_path);
  void on_connected(std::shared_ptr<socket_t> socket, const std::string& socket_path);
  void on_connect_failed(const boost::system::error_code& ec);
  bool send(const cr::ClientMessage& message);
  void send_init(std::uint32_t job);
  void send_chunks(std::uint32_t job, const char* data, std::size_t size);
  void resend_pending();
  void dispatch(const cr::ServerMessage& message);
  void finish(std::uint32_t job, const vx::ScanReport& report);
  void remove_job(std::uint32_t job);
  void fail(const boost::system::error_code& ec);
  void drop_link();
  void schedule_reconnect();
  void on_reconnect_timer(const boost::system::error_code& ec);
  void wait_for_installation();
  void subscribe_on_installation();
  void on_installation(bool installed);

  std::shared_ptr<cl_courier_link_t> link_;
  cl_inventory_t& inventory_;
  std::map<std::uint32_t, scan_handler_t> jobs_;
  std::map<std::uint32_t, std::vector<char>> pending_data_;
  std::map<std::uint32_t, cr::ScanOptions> pending_scans_;
  std::int32_t window_ = 0;
  std::uint32_t next_job_id_ = 0;
  courier_state_t state_ = idle;
  std::shared_ptr<boost::signals2::scoped_connection> installation_subscription_;
  boost::asio::steady_timer reconnect_timer_;
  std::uint16_t connect_failures_ = 0;
  const std::chrono::steady_clock::duration reconnect_delay_;
  // The socket being connected, until its connect completes.
  std::shared_ptr<socket_t> connecting_;
  // Completions of the supervisor, the timer and the connect that arrive
  // after this object is gone find this expired and touch nothing.
  std::shared_ptr<char> lifetime_;
};
