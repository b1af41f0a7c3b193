#include "run_until.h"

bool run_until(boost::asio::io_context& io, const std::function<bool()>& pred, std::chrono::milliseconds deadline) {
  const auto end = std::chrono::steady_clock::now() + deadline;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    io.restart();
    // One handler at a time, waiting at most a moment for the next, so the
    // condition is checked right after the handler that made it true.
    io.run_one_for(std::chrono::milliseconds(10));
  }
  return true;
}

void run_ready(boost::asio::io_context& io) {
  io.restart();
  while (io.poll() != 0) io.restart();
}
