#include "clamd_stream.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include <boost/asio/read.hpp>

#include "clamd_log.h"
#include "config.h"
#include "error.pb.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "system_error.h"
#include "window_provider.h"

#define STREAM_DEBUG(s) CL_OBJECT_DEBUG("stream", s)

namespace {

// The set-up steps of listen report failures by the step's name.
void throw_if(const boost::system::error_code& ec, const char* step) {
  if (ec) throw cf_system_error_t(ec, step);
}

}  // namespace

std::shared_ptr<cl_clamd_stream_t> cl_clamd_stream_t::create(cl_inventory_t& inventory,
                                                             const std::string& endpoint_tag,
                                                             cl_window_provider_t& window) {
  return std::shared_ptr<cl_clamd_stream_t>(new cl_clamd_stream_t(inventory, endpoint_tag, window));
}

cl_clamd_stream_t::cl_clamd_stream_t(cl_inventory_t& inventory, const std::string& endpoint_tag,
                                     cl_window_provider_t& window)
    : socket_(inventory.io_context()),
      acceptor_(inventory.io_context()),
      accept_timer_(inventory.io_context()),
      read_timeout_ms_(inventory.config().read_timeout(endpoint_tag)),
      stream_limit_(inventory.config().stream_max_length(endpoint_tag)),
      window_(window) {
  STREAM_DEBUG("created");
}

cl_clamd_stream_t::~cl_clamd_stream_t() {
  stop();
  STREAM_DEBUG("destroyed");
}

boost::asio::ip::address cl_clamd_stream_t::address_for(int command_socket) {
  sockaddr_storage local;
  socklen_t size = sizeof local;
  std::memset(&local, 0, sizeof local);
  if (::getsockname(command_socket, reinterpret_cast<sockaddr*>(&local), &size) == 0) {
    if (local.ss_family == AF_INET) {
      const auto& in = reinterpret_cast<const sockaddr_in&>(local);
      return boost::asio::ip::address_v4(ntohl(in.sin_addr.s_addr));
    }
    if (local.ss_family == AF_INET6) {
      const auto& in6 = reinterpret_cast<const sockaddr_in6&>(local);
      boost::asio::ip::address_v6::bytes_type bytes;
      std::memcpy(bytes.data(), in6.sin6_addr.s6_addr, bytes.size());
      const boost::asio::ip::address_v6 address(bytes, in6.sin6_scope_id);
      if (address.is_v4_mapped()) return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address);
      return address;
    }
  }
  // A local client reaches the port over loopback; so does anything the
  // system could not tell us about, rather than every interface.
  return boost::asio::ip::address_v4::loopback();
}

std::uint16_t cl_clamd_stream_t::listen(const boost::asio::ip::address& address, handler_t handler) {
  boost::system::error_code ec;
  const boost::asio::ip::tcp::endpoint wanted(address, 0);
  acceptor_.open(wanted.protocol(), ec);
  throw_if(ec, "open");
  acceptor_.bind(wanted, ec);
  throw_if(ec, "bind");
  acceptor_.listen(1, ec);
  throw_if(ec, "listen");
  const auto local = acceptor_.local_endpoint(ec);
  throw_if(ec, "local_endpoint");
  STREAM_DEBUG("stream acceptor listens at " << local);
  accept_timer_.expires_from_now(boost::posix_time::milliseconds(read_timeout_ms_), ec);
  throw_if(ec, "expires_from_now");
  handler_ = std::move(handler);
  auto holder = shared_from_this();
  acceptor_.async_accept(socket_, [holder](const boost::system::error_code& e) { holder->on_accept(e); });
  accept_timer_.async_wait([holder](const boost::system::error_code& e) { holder->on_accept_timer(e); });
  return local.port();
}

void cl_clamd_stream_t::on_accept(const boost::system::error_code& ec) {
  if (stopped_ || ec == boost::asio::error::operation_aborted) return;
  if (ec) {
    STREAM_DEBUG("accept error: " << ec.message());
    return finish(ec);
  }
  accept_timer_.cancel();
  close_acceptor();
  boost::system::error_code remote_ec;
  const auto remote = socket_.remote_endpoint(remote_ec);
  // The client may already be gone; that is its data's end, not ours.
  if (remote_ec) {
    STREAM_DEBUG("accept error: " << remote_ec.message());
    return finish(remote_ec);
  }
  STREAM_DEBUG("accepted connection from: " << remote);
  read_next();
}

void cl_clamd_stream_t::on_accept_timer(const boost::system::error_code& ec) {
  if (stopped_ || ec == boost::asio::error::operation_aborted) return;
  // An accept that completed in the same turn has cancelled us too late.
  if (!acceptor_.is_open()) return;
  if (ec) {
    STREAM_DEBUG("read timer error: " << ec.message());
    return finish(ec);
  }
  STREAM_DEBUG("stream acceptor timed out");
  close_acceptor();
  finish(vx::make_error_code(vx::EC_NETWORK_TIMEDOUT));
}

void cl_clamd_stream_t::read_next() {
  granted_ = window_.acquire(buffer_size);
  if (granted_ == 0) {
    keep_alive_ = shared_from_this();
    window_subscription_ = window_.window_signal.connect([this] {
      window_subscription_.disconnect();
      auto holder = std::move(keep_alive_);
      read_next();
    });
    return;
  }
  if (!buffer_) buffer_.reset(new char[buffer_size]);
  auto holder = shared_from_this();
  reading_ = true;
  last_data_ = std::chrono::steady_clock::now();
  arm_read_timer(boost::posix_time::milliseconds(read_timeout_ms_));
  // The condition sees every partial read, so bytes trickling into one
  // grant count as the client being alive.
  const std::size_t wanted = granted_;
  boost::asio::async_read(
      socket_, boost::asio::buffer(buffer_.get(), granted_),
      [this, wanted](const boost::system::error_code& ec, std::size_t n) -> std::size_t {
        last_data_ = std::chrono::steady_clock::now();
        return ec ? 0 : wanted - n;
      },
      [holder](const boost::system::error_code& ec, std::size_t n) { holder->on_read(ec, n); });
}

void cl_clamd_stream_t::arm_read_timer(boost::posix_time::time_duration after) {
  boost::system::error_code ec;
  accept_timer_.expires_from_now(after, ec);
  // Without a timer the client is unbounded, as it was before it connected.
  if (ec) {
    STREAM_DEBUG("read timer error: " << ec.message());
    return;
  }
  auto holder = shared_from_this();
  accept_timer_.async_wait([holder](const boost::system::error_code& e) { holder->on_read_timer(e); });
}

void cl_clamd_stream_t::on_read_timer(const boost::system::error_code& ec) {
  if (stopped_ || !reading_ || ec == boost::asio::error::operation_aborted) return;
  if (ec) {
    STREAM_DEBUG("read timer error: " << ec.message());
    return;
  }
  const auto quiet = std::chrono::steady_clock::now() - last_data_;
  const auto limit = std::chrono::milliseconds(read_timeout_ms_);
  if (quiet < limit)
    return arm_read_timer(boost::posix_time::microseconds(
        std::chrono::duration_cast<std::chrono::microseconds>(limit - quiet).count()));
  STREAM_DEBUG("stream read timed out");
  reading_ = false;
  boost::system::error_code ignored;
  // The read's completion comes back aborted and is dropped.
  socket_.close(ignored);
  finish(vx::make_error_code(vx::EC_NETWORK_TIMEDOUT));
}

void cl_clamd_stream_t::on_read(const boost::system::error_code& ec, std::size_t n) {
  if (stopped_) return;
  reading_ = false;
  boost::system::error_code ignored;
  accept_timer_.cancel(ignored);
  give_back_grant();
  if (stream_limit_ != 0 && n > stream_limit_ - received_) return refuse_beyond_limit(n);
  received_ += static_cast<std::uint32_t>(n);
  const boost::asio::const_buffer data(buffer_.get(), n);
  if (!ec) {
    STREAM_DEBUG("read " << n << " bytes");
    if (handler_) handler_({}, data);
    if (!stopped_) read_next();
  } else if (ec == boost::asio::error::eof) {
    STREAM_DEBUG("all data received");
    auto handler = std::move(handler_);
    handler_ = nullptr;
    if (handler) handler(ec, data);
  } else if (ec != boost::asio::error::operation_aborted) {
    STREAM_DEBUG("read error: " << ec.message());
    finish(ec);
  }
}

void cl_clamd_stream_t::refuse_beyond_limit(std::size_t n) {
  const std::uint32_t allowed = stream_limit_ - received_;
  received_ = stream_limit_;
  STREAM_DEBUG("stream size limit exceeded after " << allowed << " of " << n << " bytes");
  if (allowed != 0 && handler_) handler_({}, boost::asio::const_buffer(buffer_.get(), allowed));
  boost::system::error_code ignored;
  socket_.close(ignored);
  finish(vx::make_error_code(vx::EC_LIMIT_REACHED));
}

void cl_clamd_stream_t::finish(const boost::system::error_code& ec) {
  auto handler = std::move(handler_);
  handler_ = nullptr;
  if (handler) handler(ec, boost::asio::const_buffer());
}

void cl_clamd_stream_t::stop() {
  if (stopped_) return;
  stopped_ = true;
  handler_ = nullptr;
  close_acceptor();
  boost::system::error_code ec;
  socket_.close(ec);
  // Nothing is left to undo; the descriptor is gone either way.
  if (ec) STREAM_DEBUG("close: " << ec.message());
  accept_timer_.cancel(ec);
  window_subscription_.disconnect();
  give_back_grant();
  auto holder = std::move(keep_alive_);
}

void cl_clamd_stream_t::close_acceptor() {
  if (!acceptor_.is_open()) return;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
}

void cl_clamd_stream_t::give_back_grant() {
  if (granted_ == 0) return;
  window_.release(static_cast<std::int32_t>(granted_));
  granted_ = 0;
}
