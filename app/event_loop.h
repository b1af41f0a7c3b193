#pragma once

#include <boost/asio/io_context.hpp>

// The process's event loop. Its owner can drop every pending handler while
// the objects those handlers refer to still exist: client connections
// owned only by their pending operations are then destroyed before the
// services they report to (the statistics collector) go away.
class cl_event_loop_t : public boost::asio::io_context {
public:
  // One thread runs the loop. Told so, Asio queues what a handler posts, or
  // an operation that completes at once, for the same thread without waking
  // the reactor: otherwise each such completion costs an epoll_ctl, one a
  // request. Other threads (the path producer) still post safely.
  cl_event_loop_t() : boost::asio::io_context(1) {}

  // Destroys all pending handlers without running them; the loop cannot
  // run afterwards.
  void drop_pending() { shutdown(); }
};
