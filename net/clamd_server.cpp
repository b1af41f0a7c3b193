#include "clamd_server.h"

#include <errno.h>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "clamd_acceptor.h"
#include "clamd_endpoint.h"
#include "clamd_peer.h"
#include "inventory.h"
#include "log.h"
#include "system_error.h"

cl_clamd_server_t::retry_t cl_clamd_server_t::retry_of(const boost::system::error_code& ec) {
  if (ec.category() != boost::system::system_category()) return retry_t::never;
  switch (ec.value()) {
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
      return retry_t::later;
    // Errors of the connection being dequeued (a reset, a network error
    // pending on it, a firewall verdict): the next one may be fine, and one
    // client must not be able to close the endpoint.
    case ECONNABORTED:
    case ECONNRESET:
    case EPROTO:
    case EPERM:
    case ETIMEDOUT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case ENONET:
    case ENOPROTOOPT:
    case EOPNOTSUPP:
      return retry_t::now;
    default:
      return retry_t::never;
  }
}

std::shared_ptr<cl_clamd_server_t> cl_clamd_server_t::create(cl_inventory_t& inventory,
                                                             std::shared_ptr<cl_clamd_acceptor_t> acceptor,
                                                             const std::string& tag) {
  std::shared_ptr<cl_clamd_server_t> server(new cl_clamd_server_t(inventory, std::move(acceptor), tag));
  server->start_accept();
  return server;
}

cl_clamd_server_t::cl_clamd_server_t(cl_inventory_t& inventory, std::shared_ptr<cl_clamd_acceptor_t> acceptor,
                                     const std::string& tag)
    : inventory_(inventory),
      endpoint_(cl_clamd_endpoint_t::create(inventory, tag)),
      acceptor_(std::move(acceptor)),
      retry_timer_(inventory.io_context()) {
  CF_NOTICE("Server on " << acceptor_->description() << " started");
}

cl_clamd_server_t::~cl_clamd_server_t() { CF_DEBUG("Server " << acceptor_->description() << ": destroyed"); }

void cl_clamd_server_t::shutdown() {
  if (shut_down_) return;
  shut_down_ = true;
  CF_NOTICE("Server on " << acceptor_->description() << " shutdown");
  retry_timer_.cancel();
  // The descriptor is released even when close reports an error; nothing
  // is left to undo, so the error is only worth a line.
  try {
    acceptor_->close();
  } catch (const std::exception& e) {
    CF_DEBUG("Server " << acceptor_->description() << ": " << e.what());
  }
}

const std::string& cl_clamd_server_t::tag() const { return endpoint_->tag; }

void cl_clamd_server_t::refresh() {
  auto now = cl_clamd_endpoint_t::create(inventory_, endpoint_->tag);
  // Kept when unchanged, so that the endpoint's clients keep sharing one.
  if (!now->same_as(*endpoint_)) endpoint_ = std::move(now);
}

bool cl_clamd_server_t::is_open() const { return !shut_down_ && acceptor_->is_open(); }

void cl_clamd_server_t::start_accept() {
  auto self = shared_from_this();
  acceptor_->async_wait_acceptable([self](const boost::system::error_code& ec) { self->handle_acceptable(ec); });
}

void cl_clamd_server_t::handle_acceptable(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || !is_open()) return;
  if (ec && !accept_failed(ec)) return;
  accept_waiting();
}

void cl_clamd_server_t::accept_waiting() {
  for (int i = 0; i < accepts_per_turn; ++i) {
    boost::system::error_code ec;
    const int fd = acceptor_->accept(ec);
    if (ec == boost::asio::error::would_block) return start_accept();
    if (ec) {
      if (accept_failed(ec)) continue;
      return;
    }
    CF_DEBUG("Server " << acceptor_->description() << ": accepted new connection on " << endpoint_->tag);
    cl_clamd_peer_t::create(inventory_, endpoint_)->start(acceptor_->protocol(), fd);
  }
  auto self = shared_from_this();
  boost::asio::post(inventory_.io_context(), [self] {
    if (self->is_open()) self->accept_waiting();
  });
}

bool cl_clamd_server_t::accept_failed(const boost::system::error_code& ec) {
  CF_DEBUG("Server " << acceptor_->description() << ": accept error: " << ec.message());
  switch (retry_of(ec)) {
    case retry_t::now: return true;
    case retry_t::later: retry_later(); break;
    case retry_t::never: shutdown(); break;
  }
  return false;
}

void cl_clamd_server_t::retry_later() {
  retry_timer_.expires_after(retry_delay);
  auto self = shared_from_this();
  retry_timer_.async_wait([self](const boost::system::error_code& ec) { self->handle_retry(ec); });
}

void cl_clamd_server_t::handle_retry(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || !is_open()) return;
  // A failed wait only loses the pause; accepting again is what matters.
  if (ec) CF_DEBUG("Server " << acceptor_->description() << ": accept retry timer: " << ec.message());
  start_accept();
}
