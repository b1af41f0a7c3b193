#pragma once

#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/intrusive/list.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>
#include <boost/system/error_code.hpp>

#include "event_loop.h"
#include "stop_listener.h"

namespace vx {
class ClamdConfig;
}
class cl_config_t;
class cl_warden_tie_t;
class cl_clamd_server_set_t;
class cl_courier_connection_t;
class cl_stat_collector_t;
class cl_installation_monitor_t;

// The application object: owns the event loop and every long-lived
// subsystem, applies each new configuration, turns SIGHUP into a new
// configuration request and SIGTERM into an orderly exit (status 107).
// Members are built in declaration order and destroyed in reverse.
class cl_inventory_t {
public:
  typedef boost::signals2::signal_type<void(), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type
      stop_signal_t;

  // Takes the descriptor of the supervisor's socket.
  explicit cl_inventory_t(int warden_fd);
  ~cl_inventory_t();
  cl_inventory_t(const cl_inventory_t&) = delete;
  cl_inventory_t& operator=(const cl_inventory_t&) = delete;

  // The one event loop of the process.
  boost::asio::io_context& io_context() { return io_context_; }
  // The effective configuration.
  cl_config_t& config() { return *config_; }
  // The link to the supervisor.
  cl_warden_tie_t& warden() { return *warden_; }
  // The one connection to the data-scanning service, shared by all clients.
  cl_courier_connection_t& courier() { return *courier_; }
  // The connection statistics.
  cl_stat_collector_t& stats() { return *stats_; }
  // Which scanning services are installed.
  cl_installation_monitor_t& installation_monitor() { return *installation_monitor_; }
  // Fired once: when the process is told to terminate, or else as the
  // application object goes.
  stop_signal_t& on_stop() { return on_stop_; }
  // Lists listener to be called when on_stop fires, after its slots.
  void add_stop_listener(cl_stop_listener_t& listener) { stop_listeners_.push_back(listener); }

  // Applies a configuration: log level and sink, settings, the data-scanning
  // connection, endpoints. A failure is logged and ends the process with
  // status 102.
  void apply_config(const vx::ClamdConfig& config);

private:
  void wait_sighup();
  void on_sighup(const boost::system::error_code& ec);
  void wait_sigterm();
  void on_sigterm(const boost::system::error_code& ec);

  // Fires on_stop_, then tells and forgets each stop listener.
  void fire_stop();

  stop_signal_t on_stop_;
  // Before io_context_: clients its pending handlers hold leave this list
  // as they are destroyed with them.
  boost::intrusive::list<cl_stop_listener_t, boost::intrusive::constant_time_size<false>> stop_listeners_;
  // on_stop_ has run: it runs once, on SIGTERM or else at destruction.
  bool stop_fired_ = false;
  cl_event_loop_t io_context_;
  std::shared_ptr<cl_config_t> config_;
  std::shared_ptr<cl_warden_tie_t> warden_;
  std::shared_ptr<cl_clamd_server_set_t> server_set_;
  std::unique_ptr<cl_courier_connection_t> courier_;
  std::shared_ptr<cl_stat_collector_t> stats_;
  std::unique_ptr<cl_installation_monitor_t> installation_monitor_;
  boost::asio::signal_set sighup_;
  boost::asio::signal_set sigterm_;
};
