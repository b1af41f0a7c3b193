#pragma once

// Drives an event loop until a condition holds. The deadline only bounds
// a broken test; no result depends on how fast the machine is.
#include <chrono>
#include <functional>

#include <boost/asio/io_context.hpp>

// Runs handlers until pred() holds; false when the deadline passed first.
bool run_until(boost::asio::io_context& io, const std::function<bool()>& pred,
               std::chrono::milliseconds deadline = std::chrono::seconds(20));

// Runs every handler that is ready now (and those they make ready) until
// none is left; never waits.
void run_ready(boost::asio::io_context& io);
