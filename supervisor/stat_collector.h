#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

class cl_inventory_t;

// Counts client connections and reports them to the supervisor once a
// period (a second) while there is anything to report.
class cl_stat_collector_t : public std::enable_shared_from_this<cl_stat_collector_t> {
public:
  // The period is the daemon's second; tests shorten it rather than wait.
  explicit cl_stat_collector_t(cl_inventory_t& owner,
                               std::chrono::steady_clock::duration period = std::chrono::seconds(1));

  // Stops on the inventory's stop signal, then arms the timer.
  void start();
  // A client connection was created.
  void connection_opened() { ++base_, ++in_; }
  // A client connection was destroyed.
  void connection_closed() { --base_, ++out_; }

  // Sends MY_STAT_NOTIFICATION when any counter is non-zero and starts a
  // new interval; returns whether a report went out.
  bool report();

private:
  void arm();
  void on_timer(const boost::system::error_code& ec);

  cl_inventory_t& owner_;
  const std::chrono::steady_clock::duration period_;
  boost::asio::steady_timer timer_;
  std::uint64_t base_ = 0;
  std::uint64_t in_ = 0;
  std::uint64_t out_ = 0;
};
