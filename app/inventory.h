#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/signals2/signal_type.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/system/error_code.hpp>

// The application object: owns the event loop and every long-lived
// subsystem, and turns SIGHUP into a new configuration request and SIGTERM
// into an orderly exit (status 107).
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
  // Fired once when the process is told to terminate.
  stop_signal_t& on_stop() { return on_stop_; }
  // The descriptor of the supervisor's socket.
  int warden_fd() const { return warden_fd_; }

private:
  void wait_sighup();
  void on_sighup(const boost::system::error_code& ec);
  void wait_sigterm();
  void on_sigterm(const boost::system::error_code& ec);

  stop_signal_t on_stop_;
  boost::asio::io_context io_context_;
  int warden_fd_;
  boost::asio::signal_set sighup_;
  boost::asio::signal_set sigterm_;
};
