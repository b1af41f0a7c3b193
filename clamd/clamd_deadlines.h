#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/intrusive/list.hpp>
#include <boost/system/error_code.hpp>

// The read deadlines of one endpoint's clients, kept by a single timer
// instead of one timer and one pending wait per client. Every deadline is
// the same timeout from the moment it is set, so the one set last is the
// latest: setting puts an entry at the back, and the list stays in
// deadline order without sorting. The timer waits for the front.
class cl_clamd_deadlines_t : public std::enable_shared_from_this<cl_clamd_deadlines_t> {
public:
  typedef boost::asio::steady_timer::clock_type clock_t;

  // What a client carries to have a deadline: its place in the list and
  // the time. Linked while the deadline is set.
  struct entry_t : boost::intrusive::list_base_hook<> {
    clock_t::time_point deadline;
  };
  // Called with an entry whose deadline has passed, already taken off the
  // list; it may set the deadline again.
  typedef void (*expire_t)(entry_t& entry);

  cl_clamd_deadlines_t(boost::asio::io_context& io, std::uint32_t timeout_ms, expire_t expire);
  ~cl_clamd_deadlines_t();
  cl_clamd_deadlines_t(const cl_clamd_deadlines_t&) = delete;
  cl_clamd_deadlines_t& operator=(const cl_clamd_deadlines_t&) = delete;

  // Sets the entry's deadline to the timeout from now, moving it when it
  // had one. False when it had none.
  bool set(entry_t& entry);
  // Takes the entry's deadline away, if it has one.
  void remove(entry_t& entry);

private:
  void wait();
  void on_timer(const boost::system::error_code& ec);

  const std::chrono::milliseconds timeout_;
  const expire_t expire_;
  boost::intrusive::list<entry_t, boost::intrusive::constant_time_size<false>> entries_;
  boost::asio::steady_timer timer_;
  // A wait is pending; it expires no later than the front's deadline.
  bool waiting_ = false;
};
