// vemra-sieve: the Vemra suite's file-checking service. Scans the files
// its clients name, over the proxy exchange on a Unix socket.
#include <memory>

#include "sv_session.h"
#include "sv_shared.h"
#include "svc_program.h"

int main(int argc, char** argv) {
  svc_program_t program;
  program.name = "vemra-sieve";
  program.display = "Sieve";
  program.summary = "Scans the files its clients name until SIGTERM or SIGINT; see vemra-sieve(8).";
  program.sessions = [](const eng_engine_t& engine, boost::asio::thread_pool& pool,
                        svc_counters_t& counters) -> svc_listener_t::factory_t {
    auto shared = std::make_shared<sv_shared_t>(sv_shared_t{engine, pool, counters, sv_threat_table_t()});
    return [shared](svc_session_t::socket_t socket) {
      return std::make_shared<sv_session_t>(std::move(socket), *shared);
    };
  };
  return svc_main(argc, argv, program);
}
