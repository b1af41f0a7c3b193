#pragma once

#include <boost/asio/thread_pool.hpp>

#include "eng_engine.h"
#include "sv_threat_table.h"

// What every proxy session of the process shares: the engine, the pool
// its scans run on, and the table of threats reported so far (touched on
// the event-loop thread only). Outlives every session.
struct sv_shared_t {
  const eng_engine_t& engine;
  boost::asio::thread_pool& pool;
  sv_threat_table_t threats;
};
