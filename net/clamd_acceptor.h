#pragma once

#include <errno.h>
#include <sys/socket.h>

#include <functional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>

#include "acceptor_traits.h"
#include "clamd_socket.h"
#include "system_error.h"

// A listening socket as the servers see it, whatever its protocol.
class cl_clamd_acceptor_t : private boost::noncopyable {
public:
  typedef std::function<void(const boost::system::error_code&)> handler_t;

  virtual ~cl_clamd_acceptor_t() = default;

  // Calls the handler once a connection may be waiting, or the wait failed.
  virtual void async_wait_acceptable(handler_t handler) = 0;
  // Takes one waiting connection: its descriptor, non-blocking and
  // close-on-exec from the start, or -1 with ec set (would_block when none
  // is left).
  virtual int accept(boost::system::error_code& ec) = 0;
  // What the accepted sockets are.
  virtual cl_clamd_socket_t::protocol_type protocol() const = 0;
  // True while the listening descriptor is valid.
  virtual bool is_open() const = 0;
  // Stops listening (throws "close"); a Unix-domain endpoint also removes
  // its socket file. Safe to call twice.
  virtual void close() = 0;
  // "127.0.0.1:3310(IPv4)", "[::1]:3310(IPv6)" or "/path (local)", for log
  // lines.
  virtual std::string description() const = 0;
};

// cl_clamd_acceptor_t over an asio acceptor; Traits opens it the way the
// protocol needs.
template <class Protocol, class Traits = cl_acceptor_traits_t<Protocol>>
class cl_clamd_asio_acceptor_t : public cl_clamd_acceptor_t {
public:
  typedef typename Protocol::endpoint endpoint_type;

  cl_clamd_asio_acceptor_t(boost::asio::io_context& io, const endpoint_type& endpoint)
      : endpoint_(endpoint), acceptor_(io), description_(Traits::description(endpoint)) {}

  // Opens, binds and starts listening; throws cf_system_error_t naming the
  // failed step.
  void open() { traits_.open(acceptor_, endpoint_); }

  void async_wait_acceptable(handler_t handler) override {
    acceptor_.async_wait(Protocol::acceptor::wait_read, std::move(handler));
  }
  int accept(boost::system::error_code& ec) override {
    // accept4 sets the flags asio would otherwise set with one more call.
    int fd;
    do fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    ec = fd < 0 ? boost::system::error_code(errno, boost::system::system_category()) : boost::system::error_code();
    return fd;
  }
  cl_clamd_socket_t::protocol_type protocol() const override { return endpoint_.protocol(); }
  bool is_open() const override { return acceptor_.is_open(); }
  void close() override {
    if (!acceptor_.is_open()) return;
    boost::system::error_code ec;
    acceptor_.close(ec);
    traits_.closed(endpoint_);
    if (ec) throw cf_system_error_t(ec, "close");
  }
  std::string description() const override { return description_; }

private:
  endpoint_type endpoint_;
  typename Protocol::acceptor acceptor_;
  Traits traits_;
  std::string description_;
};

typedef cl_clamd_asio_acceptor_t<boost::asio::ip::tcp> cl_clamd_tcp_acceptor_t;
typedef cl_clamd_asio_acceptor_t<boost::asio::local::stream_protocol> cl_clamd_local_acceptor_t;
