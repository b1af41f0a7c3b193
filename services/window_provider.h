#pragma once

#include <cstdint>

#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

// Credit for the data the daemon sends to the data-scanning service. One
// window is shared by every reader of client data in the process: a reader
// takes credit before it reads from its client, gives it back when the read
// is done, and waits for window_signal when none is left.
class cl_window_provider_t {
public:
  typedef boost::signals2::signal_type<void(), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type
      window_signal_t;

  virtual ~cl_window_provider_t() = default;

  // Takes up to n bytes of credit; 0 while the window is empty or negative.
  virtual std::uint32_t acquire(std::uint32_t n) = 0;
  // Gives n bytes of credit back (or adds new credit; n may be negative).
  virtual void release(std::int32_t n) = 0;

  // Emitted when the window turns from empty (<= 0) to positive.
  window_signal_t window_signal;
};
