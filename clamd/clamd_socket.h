#pragma once

#include <cstddef>
#include <functional>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

class cl_clamd_connection_t;

// A connected client socket as the clamd front end sees it, whatever its
// protocol. Failures come back as error codes: they end one client, never
// the daemon.
class cl_clamd_socket_t : private boost::noncopyable {
public:
  typedef std::function<void(const boost::system::error_code&, std::size_t)> handler_t;
  // Wakes the connection waiting for bytes, which the pending wait keeps
  // alive. A std::function would put that reference on the heap for every
  // idle client.
  struct wait_handler_t {
    std::shared_ptr<cl_clamd_connection_t> connection;
    void operator()(const boost::system::error_code& ec) const;
  };

  virtual ~cl_clamd_socket_t() = default;

  // Waits until the socket is readable; the bytes (and any passed
  // descriptor) are then taken with recvmsg on the native handle.
  virtual void async_wait_readable(wait_handler_t handler) = 0;
  // Writes the whole buffer, then calls the handler once.
  virtual void async_write(boost::asio::const_buffer buffer, handler_t handler) = 0;
  virtual bool is_open() const = 0;
  // Bytes readable without blocking.
  virtual std::size_t available(boost::system::error_code& ec) const = 0;
  virtual bool non_blocking() const = 0;
  virtual boost::system::error_code non_blocking(bool mode) = 0;
  // The descriptor, for system calls of our own (passed descriptors).
  virtual int native_handle() = 0;
  // Closes the socket; the descriptor is released even when this fails.
  virtual boost::system::error_code close() = 0;
};
