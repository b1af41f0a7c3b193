#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/write.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "system_error.h"

// A connected client socket as the clamd front end sees it, whatever its
// protocol.
class cl_clamd_socket_t : private boost::noncopyable {
public:
  typedef std::function<void(const boost::system::error_code&, std::size_t)> handler_t;
  typedef std::function<void(const boost::system::error_code&)> wait_handler_t;

  virtual ~cl_clamd_socket_t() = default;

  // One read of at most the buffer's size.
  virtual void async_read_some(boost::asio::mutable_buffer buffer, handler_t handler) = 0;
  // Waits until the socket is readable; the bytes (and any passed
  // descriptor) are then taken with recvmsg on the native handle.
  virtual void async_wait_readable(wait_handler_t handler) = 0;
  // Writes the whole buffer, then calls the handler once.
  virtual void async_write(boost::asio::const_buffer buffer, handler_t handler) = 0;
  virtual bool is_open() const = 0;
  // Bytes readable without blocking; throws "available".
  virtual std::size_t available() const = 0;
  virtual bool non_blocking() const = 0;
  // Throws "non_blocking".
  virtual void non_blocking(bool mode) = 0;
  // The descriptor, for system calls of our own (passed descriptors).
  virtual int native_handle() = 0;
  // Throws "close".
  virtual void close() = 0;
};

// cl_clamd_socket_t over an asio stream socket (TCP or Unix-domain).
template <class Protocol>
class cl_clamd_asio_socket_t : public cl_clamd_socket_t {
public:
  typedef typename Protocol::socket socket_type;

  explicit cl_clamd_asio_socket_t(boost::asio::io_context& io) : socket_(io) {}

  // The asio socket, for accepting into.
  socket_type& socket() { return socket_; }

  void async_read_some(boost::asio::mutable_buffer buffer, handler_t handler) override {
    socket_.async_read_some(buffer, std::move(handler));
  }
  void async_wait_readable(wait_handler_t handler) override {
    socket_.async_wait(Protocol::socket::wait_read, std::move(handler));
  }
  void async_write(boost::asio::const_buffer buffer, handler_t handler) override {
    boost::asio::async_write(socket_, buffer, std::move(handler));
  }
  bool is_open() const override { return socket_.is_open(); }
  std::size_t available() const override {
    boost::system::error_code ec;
    const std::size_t n = socket_.available(ec);
    if (ec) throw cf_system_error_t(ec, "available");
    return n;
  }
  bool non_blocking() const override { return socket_.non_blocking(); }
  void non_blocking(bool mode) override {
    boost::system::error_code ec;
    socket_.non_blocking(mode, ec);
    if (ec) throw cf_system_error_t(ec, "non_blocking");
  }
  int native_handle() override { return socket_.native_handle(); }
  void close() override {
    boost::system::error_code ec;
    socket_.close(ec);
    if (ec) throw cf_system_error_t(ec, "close");
  }

private:
  socket_type socket_;
};

typedef cl_clamd_asio_socket_t<boost::asio::ip::tcp> cl_clamd_tcp_socket_t;
typedef cl_clamd_asio_socket_t<boost::asio::local::stream_protocol> cl_clamd_local_socket_t;
