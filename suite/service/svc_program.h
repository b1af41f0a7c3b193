#pragma once

#include <functional>
#include <string>

#include <boost/asio/thread_pool.hpp>
#include <boost/program_options/options_description.hpp>

#include "eng_engine.h"
#include "svc_counters.h"
#include "svc_listener.h"

// What one service program of the suite puts into the frame every service
// shares: the command line (--socket, --threads, --log-level, --help,
// --version and the program's own options), the COM_VEMRA_MONITOR
// descriptor of the supervisor, the engine, the scan pool and the
// listening socket, served until SIGTERM or SIGINT or until the supervisor
// goes away.
struct svc_program_t {
  std::string name;     // "vemra-sieve"
  std::string display;  // "Sieve": the start of its log lines
  // The second line of --help, saying what the program does.
  std::string summary;
  // The program's own options, shown after the shared ones.
  boost::program_options::options_description options;
  // Checks the program's own options once parsed: the usage error, or
  // empty when they are fine.
  std::function<std::string()> check;
  // Makes the factory of the sessions of accepted clients, which count
  // every scan that ends in the counters. Called once, before serving
  // starts; the factory lives until serving ends.
  std::function<svc_listener_t::factory_t(const eng_engine_t&, boost::asio::thread_pool&, svc_counters_t&)> sessions;
  // Words added to the start-up line after the thread count (may be
  // empty): ", window 1mb", say.
  std::function<std::string()> describe;
};

// The whole of a service's main(): parses the command line, serves, and
// returns the exit status (0 after a stop, 125 for a bad command line, the
// suite's error code of a failure to start).
int svc_main(int argc, char** argv, svc_program_t& program);
