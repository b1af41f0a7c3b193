#include "clamd_deadlines.h"

#include <boost/asio/error.hpp>

#include "log.h"

cl_clamd_deadlines_t::cl_clamd_deadlines_t(boost::asio::io_context& io, std::uint32_t timeout_ms, expire_t expire)
    : timeout_(timeout_ms), expire_(expire), timer_(io) {}

cl_clamd_deadlines_t::~cl_clamd_deadlines_t() {
  // Each client holds the list that holds it: none is left here while a
  // client lives, unless the loop is being torn down around them.
  entries_.clear();
}

bool cl_clamd_deadlines_t::set(entry_t& entry) {
  const bool had = entry.is_linked();
  if (had) entries_.erase(entries_.iterator_to(entry));
  entry.deadline = clock_t::now() + timeout_;
  entries_.push_back(entry);
  // A pending wait ends no later than the new deadline, which is the
  // latest: it moves on to the front's when it expires.
  if (!waiting_) wait();
  return had;
}

void cl_clamd_deadlines_t::remove(entry_t& entry) {
  if (!entry.is_linked()) return;
  // A wait left with nothing to bound ends by itself and is not renewed:
  // cancelling it as the last client goes, only to wait again for the next
  // one, would cost two operations for every client that comes and goes.
  entries_.erase(entries_.iterator_to(entry));
}

void cl_clamd_deadlines_t::wait() {
  waiting_ = true;
  timer_.expires_at(entries_.front().deadline);
  auto self = shared_from_this();
  timer_.async_wait([self](const boost::system::error_code& ec) { self->on_timer(ec); });
}

void cl_clamd_deadlines_t::on_timer(const boost::system::error_code& ec) {
  // Aborted: remove cancelled it, and a later set may have waited again.
  if (ec == boost::asio::error::operation_aborted) return;
  waiting_ = false;
  // A timer that fails costs only the bound on the clients, not the clients.
  if (ec) {
    CF_ERROR("cl_clamd_peer_t: read timer error: " << ec.message());
    return;
  }
  const clock_t::time_point now = clock_t::now();
  while (!entries_.empty() && entries_.front().deadline <= now) {
    entry_t& expired = entries_.front();
    entries_.pop_front();
    expire_(expired);
  }
  if (!entries_.empty() && !waiting_) wait();
}
