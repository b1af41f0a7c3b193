// vemra-clamd: the clamd-protocol daemon of the Vemra suite.
#include <signal.h>
#include <stdlib.h>

#include <exception>
#include <memory>

#include <boost/system/system_error.hpp>
#include <google/protobuf/stubs/logging.h>

#include "error.pb.h"
#include "exception_mapping.h"
#include "inventory.h"
#include "log.h"
#include "process_exit.h"
#include "standalone.h"
#include "strict_int.h"
#include "system_error.h"
#include "warden_tie.h"
#include "vemra_version.h"

namespace {
const char program_name[] = "vemra-clamd";
}

int main(int argc, char** argv) {
  std::set_terminate(terminate_handler);
  google::protobuf::SetLogHandler(protobuf_log_handler);
  try {
    const char* monitor = getenv("COM_VEMRA_MONITOR");
    if (!monitor) run_standalone(program_name, VEMRA_VERSION, argc, argv);

    CF_NOTICE("ClamD " << VEMRA_VERSION);
    const int warden_fd = cf_strict_int(monitor);
    {
      cl_inventory_t inventory(warden_fd);
      inventory.warden().request_config();
      signal(SIGPIPE, SIG_IGN);
      boost::system::error_code ec;
      inventory.io_context().run(ec);
      if (ec) throw cf_system_error_t(ec, "run");
    }
    exit_with_status(vx::EC_OK);
  } catch (vx::ErrorCode status) {
    exit_with_status(status);
  } catch (const std::exception& e) {
    CF_ERROR(exception_text(e));
    exit_with_status(exit_status_of(exception_error_code(e)));
  }
}
