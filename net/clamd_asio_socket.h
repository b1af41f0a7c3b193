#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>

#include "clamd_socket.h"

// cl_clamd_socket_t over an asio stream socket (TCP or Unix-domain).
template <class Protocol>
class cl_clamd_asio_socket_t : public cl_clamd_socket_t {
public:
  typedef typename Protocol::socket socket_type;

  explicit cl_clamd_asio_socket_t(boost::asio::io_context& io) : socket_(io) {}

  // The asio socket, for accepting into.
  socket_type& socket() { return socket_; }

  void async_wait_readable(wait_handler_t handler) override {
    socket_.async_wait(Protocol::socket::wait_read, std::move(handler));
  }
  void async_write(boost::asio::const_buffer buffer, handler_t handler) override {
    boost::asio::async_write(socket_, buffer, std::move(handler));
  }
  bool is_open() const override { return socket_.is_open(); }
  std::size_t available(boost::system::error_code& ec) const override { return socket_.available(ec); }
  bool non_blocking() const override { return socket_.non_blocking(); }
  boost::system::error_code non_blocking(bool mode) override {
    boost::system::error_code ec;
    socket_.non_blocking(mode, ec);
    return ec;
  }
  int native_handle() override { return socket_.native_handle(); }
  boost::system::error_code close() override {
    boost::system::error_code ec;
    socket_.close(ec);
    return ec;
  }

private:
  socket_type socket_;
};

typedef cl_clamd_asio_socket_t<boost::asio::ip::tcp> cl_clamd_tcp_socket_t;
typedef cl_clamd_asio_socket_t<boost::asio::local::stream_protocol> cl_clamd_local_socket_t;
