// vemra-courier: the Vemra suite's data-scanning service. Scans the byte
// streams its clients send in chunks, over the Courier exchange on a Unix
// socket, under flow control.
#include <stdlib.h>
#include <sys/resource.h>

#include <memory>
#include <string>

#include <boost/program_options.hpp>

#include "cr_session.h"
#include "svc_program.h"

namespace po = boost::program_options;

namespace {

// The window must leave room for a useful chunk and fit in a frame.
constexpr std::uint32_t min_window = 64 << 10;
constexpr std::uint32_t max_window = 64 << 20;
constexpr std::uint64_t max_memory = 1 << 30;

// Every job that no longer fits in memory holds a file open, so the soft
// limit of descriptors goes as high as the hard one allows.
void raise_descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

std::string temporary_dir() {
  const char* dir = getenv("TMPDIR");
  return dir && dir[0] == '/' ? dir : "/tmp";
}

}  // namespace

int main(int argc, char** argv) {
  cr_settings_t settings;
  svc_program_t program;
  program.name = "vemra-courier";
  program.display = "Courier";
  program.summary = "Scans the data its clients send until SIGTERM or SIGINT; see vemra-courier(8).";
  // clang-format off
  program.options.add_options()
      ("window,w", po::value(&settings.window)->value_name("BYTES")->default_value(settings.window),
       "credit granted to each connection that asks for flow control (65536 to 67108864)")
      ("memory,m", po::value(&settings.memory)->value_name("BYTES")->default_value(settings.memory),
       "job data one connection keeps in memory before it goes to files under $TMPDIR (0 to 1073741824)");
  // clang-format on
  program.check = [&]() -> std::string {
    if (settings.window < min_window || settings.window > max_window)
      return "--window: use a number from " + std::to_string(min_window) + " to " + std::to_string(max_window);
    if (settings.memory > max_memory) return "--memory: use a number from 0 to " + std::to_string(max_memory);
    return std::string();
  };
  program.sessions = [&](const eng_engine_t& engine, boost::asio::thread_pool& pool,
                         svc_counters_t& counters) -> svc_listener_t::factory_t {
    raise_descriptor_limit();
    settings.spill.dir = temporary_dir();
    settings.spill.max_size = engine.limits().max_object_size;
    auto shared = std::make_shared<cr_shared_t>(cr_shared_t{engine, pool, counters, settings});
    return [shared](svc_session_t::socket_t socket) {
      return std::make_shared<cr_session_t>(std::move(socket), *shared);
    };
  };
  program.describe = [&] {
    return ", window " + std::to_string(settings.window) + " bytes, memory " + std::to_string(settings.memory) +
           " bytes a connection, files in " + settings.spill.dir;
  };
  return svc_main(argc, argv, program);
}
