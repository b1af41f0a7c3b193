#pragma once

#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

#include "svc_counters.h"

// The socket a supervisor started this process with (its descriptor is
// named by COM_VEMRA_MONITOR). The service's scan counts go out on it as
// framed vx::ServiceStat reports; what arrives is read and dropped. When
// the other end goes away, so has the supervisor, and gone is called once.
class svc_monitor_t : public std::enable_shared_from_this<svc_monitor_t> {
public:
  // Reports go out at most this often, however busy the service is.
  static constexpr std::chrono::seconds report_period{1};

  // service: the display name the log lines begin with ("Sieve");
  // counters: what the reports carry, outliving the monitor.
  svc_monitor_t(boost::asio::io_context& io, std::string service, const svc_counters_t& counters,
                std::function<void()> gone);
  svc_monitor_t(const svc_monitor_t&) = delete;
  svc_monitor_t& operator=(const svc_monitor_t&) = delete;

  // Takes the descriptor and starts reading. Throws cf_system_error_t
  // "monitor descriptor N" when it cannot be watched.
  void start(int fd);
  // The counts have changed: reported at once after a quiet period,
  // otherwise once the period since the last report has passed.
  void counters_changed();
  // Stops watching; gone is not called after this. Safe to call twice.
  void close();

private:
  void do_read();
  void on_read(const boost::system::error_code& ec);
  void arm_report();
  void on_report_timer(const boost::system::error_code& ec);
  void do_write();
  void on_write(const boost::system::error_code& ec);
  void fail(const boost::system::error_code& ec, const char* operation);

  boost::asio::local::stream_protocol::socket socket_;
  const std::string service_;
  const svc_counters_t& counters_;
  std::function<void()> gone_;
  std::array<char, 512> buffer_;
  boost::asio::steady_timer report_timer_;
  std::chrono::steady_clock::time_point last_report_{};
  std::string output_;
  // A report is wanted: the timer is armed, or a write is in flight.
  bool due_ = false;
  bool writing_ = false;
  bool closed_ = false;
};
