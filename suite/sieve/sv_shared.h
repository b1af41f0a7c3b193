#pragma once

#include <boost/asio/thread_pool.hpp>

#include "eng_engine.h"
#include "svc_counters.h"
#include "sv_threat_table.h"

// What every proxy session of the process shares: the engine, the pool
// its scans run on, the counts of finished scans and the table of threats
// reported so far (both touched on the event-loop thread only). Outlives
// every session.
struct sv_shared_t {
  const eng_engine_t& engine;
  boost::asio::thread_pool& pool;
  svc_counters_t& counters;
  sv_threat_table_t threats;
};
