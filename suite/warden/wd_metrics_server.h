#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

// Warden's HTTP endpoint for monitoring: answers GET /metrics with the
// text a renderer makes at that moment. It shares Warden's event loop, so
// what a scraper may cost is bounded: a few connections at a time, small
// requests, and a read deadline per request.
class wd_metrics_server_t : public std::enable_shared_from_this<wd_metrics_server_t> {
public:
  using render_t = std::function<std::string()>;

  static constexpr std::size_t max_connections = 8;
  static constexpr std::size_t max_request = 8 << 10;  // bytes of request line and headers
  static constexpr std::chrono::seconds read_timeout{10};

  wd_metrics_server_t(boost::asio::io_context& io, render_t render);
  wd_metrics_server_t(const wd_metrics_server_t&) = delete;
  wd_metrics_server_t& operator=(const wd_metrics_server_t&) = delete;

  // Listens at the address and accepts. Throws boost::system::system_error
  // when it cannot listen there.
  void start(const boost::asio::ip::tcp::endpoint& at);
  // Stops accepting; connections being served finish. Safe to call twice.
  void close();

private:
  void do_accept();
  void on_accept(const boost::system::error_code& ec, boost::asio::ip::tcp::socket socket);

  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::steady_timer retry_timer_;
  render_t render_;
  // Connections being served; each holds a share, so the count stays
  // right if a connection outlives the server.
  std::shared_ptr<std::size_t> live_;
};
