#pragma once

#include <array>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

// The socket a supervisor started this process with (its descriptor is
// named by COM_VEMRA_MONITOR). Nothing is said on it; what arrives is
// read and dropped. When the other end goes away, so has the supervisor,
// and gone is called once.
class svc_monitor_t : public std::enable_shared_from_this<svc_monitor_t> {
public:
  // service: the display name the log lines begin with ("Sieve").
  svc_monitor_t(boost::asio::io_context& io, std::string service, std::function<void()> gone);
  svc_monitor_t(const svc_monitor_t&) = delete;
  svc_monitor_t& operator=(const svc_monitor_t&) = delete;

  // Takes the descriptor and starts reading. Throws cf_system_error_t
  // "monitor descriptor N" when it cannot be watched.
  void start(int fd);
  // Stops watching; gone is not called after this. Safe to call twice.
  void close();

private:
  void do_read();
  void on_read(const boost::system::error_code& ec);

  boost::asio::local::stream_protocol::socket socket_;
  const std::string service_;
  std::function<void()> gone_;
  std::array<char, 512> buffer_;
  bool closed_ = false;
};
