#pragma once

#include <boost/asio/io_context.hpp>

// The process's event loop. Its owner can drop every pending handler while
// the objects those handlers refer to still exist: client connections
// owned only by their pending operations are then destroyed before the
// services they report to (the statistics collector) go away.
class cl_event_loop_t : public boost::asio::io_context {
public:
  // Destroys all pending handlers without running them; the loop cannot
  // run afterwards.
  void drop_pending() { shutdown(); }
};
