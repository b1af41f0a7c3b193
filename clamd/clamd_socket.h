#pragma once

#include <memory>
#include <utility>

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/generic/stream_protocol.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/system/error_code.hpp>
#include <boost/version.hpp>

// Adopting accepted descriptors and waiting for readable bytes reach into
// asio's reactor on the version this was written against; other versions
// take asio's public path, at the price of a few more system calls.
#if BOOST_VERSION >= 107400 && BOOST_VERSION < 107500 && !defined(BOOST_ASIO_HAS_IOCP) && \
    defined(BOOST_ASIO_HAS_EPOLL)
#define CL_CLAMD_SOCKET_ASIO_DETAIL 1
#include <boost/asio/detail/handler_alloc_helpers.hpp>
#include <boost/asio/detail/handler_work.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#endif

// A connected client socket of either family (TCP or Unix-domain), held
// inside its connection rather than allocated on its own. It runs on the
// io_context's own executor: pending operations carry no type-erased
// executor and count no work of their own.
class cl_clamd_socket_t
    : public boost::asio::basic_stream_socket<boost::asio::generic::stream_protocol,
                                              boost::asio::io_context::executor_type> {
public:
  typedef boost::asio::basic_stream_socket<boost::asio::generic::stream_protocol,
                                           boost::asio::io_context::executor_type>
      base_t;

  explicit cl_clamd_socket_t(boost::asio::io_context& io) : base_t(io.get_executor()) {}

  // Takes a descriptor fresh from accept4 with SOCK_NONBLOCK, which nothing
  // else holds: asio is told so, and then neither sets the mode again nor
  // removes the descriptor from its epoll set before closing it, which
  // the close itself does. The descriptor is closed when this fails.
  boost::system::error_code adopt(const protocol_type& protocol, int fd);

  // Calls handler(ec) once the socket may hold bytes to read (or has
  // failed); they are then taken with recvmsg on the native handle, which
  // also takes passed descriptors. Unlike async_wait, this does not re-arm
  // the epoll registration on every call: a wait started after a read that
  // emptied the socket sleeps until new bytes arrive, and one started after
  // a wakeup that was not read from completes at once.
  template <class Handler>
  void async_wait_readable(Handler handler);

private:
#ifdef CL_CLAMD_SOCKET_ASIO_DETAIL
  // asio's wait operation, but speculative: it is done as soon as it is
  // tried, and reports the socket drained, so the reactor tries the next one
  // only after an event.
  template <class Handler>
  class readable_op_t;
#endif
};

#ifdef CL_CLAMD_SOCKET_ASIO_DETAIL
template <class Handler>
class cl_clamd_socket_t::readable_op_t : public boost::asio::detail::reactor_op {
  typedef boost::asio::io_context::executor_type executor_t;
  typedef boost::asio::detail::handler_work<Handler, executor_t> work_t;

public:
  BOOST_ASIO_DEFINE_HANDLER_PTR(readable_op_t);

  readable_op_t(Handler& handler, const executor_t& io_ex)
      : reactor_op(boost::system::error_code(), &readable_op_t::do_perform, &readable_op_t::do_complete),
        handler_(std::move(handler)),
        work_(handler_, io_ex) {}

  static status do_perform(reactor_op*) { return done_and_exhausted; }

  static void do_complete(void* owner, boost::asio::detail::operation* base, const boost::system::error_code&, std::size_t) {
    readable_op_t* o = static_cast<readable_op_t*>(base);
    ptr p = {std::addressof(o->handler_), o, o};
    work_t w(std::move(o->work_));
    // The operation's memory goes back before the upcall, which may start
    // the next wait.
    boost::asio::detail::binder1<Handler, boost::system::error_code> handler(o->handler_, o->ec_);
    p.h = std::addressof(handler.handler_);
    p.reset();
    if (owner) {
      boost::asio::detail::fenced_block b(boost::asio::detail::fenced_block::half);
      w.complete(handler, handler.handler_);
    }
  }

private:
  Handler handler_;
  work_t work_;
};

template <class Handler>
void cl_clamd_socket_t::async_wait_readable(Handler handler) {
  auto& impl = impl_.get_implementation();
  typedef readable_op_t<Handler> op;
  typename op::ptr p = {std::addressof(handler), op::ptr::allocate(handler), 0};
  p.p = new (p.v) op(handler, impl_.get_executor());
  auto& reactor = boost::asio::use_service<boost::asio::detail::reactor>(get_executor().context());
  reactor.start_op(boost::asio::detail::reactor::read_op, impl.socket_, impl.reactor_data_, p.p, false, true);
  p.v = p.p = 0;
}
#else
template <class Handler>
void cl_clamd_socket_t::async_wait_readable(Handler handler) {
  async_wait(wait_read, std::move(handler));
}
#endif
