#pragma once

#include <cstddef>
#include <cstdint>

#include <boost/asio/thread_pool.hpp>

#include "cr_exchange.h"
#include "eng_engine.h"
#include "svc_counters.h"
#include "svc_session.h"

// What every connection of the process shares: the engine, the pool its
// scans run on, the counts of finished scans (touched on the event-loop
// thread only) and the settings. Outlives every session.
struct cr_shared_t {
  const eng_engine_t& engine;
  boost::asio::thread_pool& pool;
  svc_counters_t& counters;
  cr_settings_t settings;
};

// One client connection: the jobs of its exchange, their scans on the
// shared pool, each answer written as soon as its scan ends, and the
// client's credit given back with the next write. While a megabyte of
// output waits for a client that does not read it, nothing more is taken
// from that client.
class cr_session_t : public svc_session_t {
public:
  // Output waiting to be written beyond which no frame is taken.
  static constexpr std::size_t max_unsent = 1 << 20;

  cr_session_t(socket_t socket, cr_shared_t& shared);

private:
  void on_frame(const unsigned char* body, std::size_t size) override;
  bool saturated() const override { return unsent_bytes() >= max_unsent; }
  std::uint32_t max_frame() const override { return exchange_.max_frame(); }
  void before_write() override;
  void do_scan(cr_exchange_t::action_t&& action);
  void on_scanned(std::uint32_t job_id, std::uint64_t ticket, cr_outcome_t&& outcome);

  cr_shared_t& shared_;
  cr_exchange_t exchange_;
};
