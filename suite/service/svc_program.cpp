#include "svc_program.h"

#include <signal.h>
#include <stdlib.h>
#include <string.h>

#include <iostream>
#include <memory>

#include <boost/algorithm/string/predicate.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/lexical_cast.hpp>
#include <boost/program_options.hpp>

#include "error.pb.h"
#include "exception_mapping.h"
#include "log.h"
#include "log_factory.h"
#include "strict_int.h"
#include "svc_monitor.h"
#include "vemra_version.h"

namespace po = boost::program_options;

namespace {

// More scan threads than this would only make scans wait on each other.
const unsigned max_threads = 256;

struct settings_t {
  std::string socket;
  unsigned threads = 2;
  std::string log_level = "Notice";
  // The supervisor's socket, or -1 when started by hand.
  int monitor = -1;
};

int usage_error(const svc_program_t& program, const std::string& what) {
  std::cerr << program.name << ": " << what << "\nTry '" << program.name << " --help'.\n";
  return vx::EC_UNEXPECTED_ERROR;
}

bool parse_level(const std::string& text, cf_log_t::level_t& level) {
  for (cf_log_t::level_t l = cf_log_t::debug; l <= cf_log_t::error; ++l) {
    if (boost::algorithm::iequals(text, cflog::level_name(l))) {
      level = l;
      return true;
    }
  }
  return false;
}

// Serves until SIGTERM or SIGINT, or until the supervisor goes away.
int serve(const svc_program_t& program, const settings_t& settings) {
  eng_engine_t engine;
  boost::asio::io_context io;
  boost::asio::thread_pool pool(settings.threads);
  std::shared_ptr<svc_monitor_t> monitor;
  svc_counters_t counters([&] {
    if (monitor) monitor->counters_changed();
  });
  auto listener = std::make_shared<svc_listener_t>(io, settings.socket, program.display,
                                                   program.sessions(engine, pool, counters));
  boost::asio::signal_set signals(io, SIGTERM, SIGINT);
  auto stop = [&] {
    listener->stop();
    signals.cancel();
    if (monitor) monitor->close();
  };
  signals.async_wait([&](const boost::system::error_code& ec, int signo) {
    if (ec) return;
    CF_NOTICE(program.display << ": " << strsignal(signo) << ", stopping");
    stop();
  });
  if (settings.monitor >= 0) {
    monitor = std::make_shared<svc_monitor_t>(io, program.display, counters, [&] {
      CF_NOTICE(program.display << ": the supervisor has gone, stopping");
      stop();
    });
    monitor->start(settings.monitor);
  }
  listener->start();
  // A client gone away must cost a failed write, not our life.
  signal(SIGPIPE, SIG_IGN);
  // A full disk or a file size limit must fail the one write that hit it
  // (EFBIG, answered as that job's error), not end every job in flight.
  signal(SIGXFSZ, SIG_IGN);
  CF_NOTICE(program.display << " " << VEMRA_VERSION << " serving " << settings.socket << " with "
                            << settings.threads << " scan thread" << (settings.threads == 1 ? "" : "s")
                            << (program.describe ? program.describe() : std::string()));
  io.run();
  // Scans under way finish; those not begun are dropped.
  pool.stop();
  pool.join();
  CF_NOTICE(program.display << " stopped");
  return 0;
}

// Parses the command line into settings: -1 to go on serving, otherwise
// the exit status.
int parse(int argc, char** argv, svc_program_t& program, settings_t& settings) {
  po::options_description visible("Options");
  // clang-format off
  visible.add_options()
      ("socket,s", po::value(&settings.socket)->value_name("PATH"),
       "Unix socket to serve (required); a stale socket file there is replaced")
      ("threads,t", po::value(&settings.threads)->value_name("N")->default_value(settings.threads),
       "scans run at once")
      ("log-level,l", po::value(&settings.log_level)->value_name("LEVEL")->default_value(settings.log_level),
       "Debug, Info, Notice, Warning or Error");
  // clang-format on
  // One list: the program's own options read as part of the shared ones.
  for (const auto& option : program.options.options()) visible.add(option);
  visible.add_options()("help,h", "print this help and exit")("version,v", "print the version and exit");
  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc, argv).options(visible).run(), vm);
    po::notify(vm);
  } catch (const po::error& e) {
    return usage_error(program, e.what());
  }
  if (vm.count("help")) {
    std::cout << "Usage: " << program.name << " --socket PATH [options]\n" << program.summary << "\n\n" << visible << "\n";
    return 0;
  }
  if (vm.count("version")) {
    std::cout << program.name << " " << VEMRA_VERSION << "\n";
    return 0;
  }
  if (settings.socket.empty()) return usage_error(program, "--socket is required");
  if (settings.threads == 0 || settings.threads > max_threads)
    return usage_error(program, "--threads: use a number from 1 to " + std::to_string(max_threads));
  if (program.check) {
    const std::string problem = program.check();
    if (!problem.empty()) return usage_error(program, problem);
  }
  cf_log_t::level_t level;
  if (!parse_level(settings.log_level, level))
    return usage_error(program, "--log-level: use Debug, Info, Notice, Warning or Error");
  cflog::set_threshold(level);
  if (const char* monitor = getenv("COM_VEMRA_MONITOR")) {
    try {
      settings.monitor = cf_strict_int(monitor);
    } catch (const boost::bad_lexical_cast&) {
      settings.monitor = -1;
    }
    if (settings.monitor < 0)
      return usage_error(program, std::string("COM_VEMRA_MONITOR is not a descriptor: ") + monitor);
  }
  return -1;
}

}  // namespace

int svc_main(int argc, char** argv, svc_program_t& program) {
  cflog::set_threshold(cf_log_t::notice);
  cflog::install(make_default_log());

  settings_t settings;
  const int status = parse(argc, argv, program, settings);
  if (status >= 0) return status;
  try {
    return serve(program, settings);
  } catch (const std::exception& e) {
    CF_ERROR(program.display << ": " << exception_text(e));
    return exit_status_of(exception_error_code(e));
  }
}
