#include "process_exit.h"

#include <stdlib.h>
#include <unistd.h>

#include <exception>
#include <new>

#include <google/protobuf/descriptor.h>

#include "error.pb.h"
#include "exception_mapping.h"
#include "log.h"
#include "log_factory.h"
#include "proto_error_category.h"

void ensure_log_sink() {
  if (cflog::is_installed()) return;
  cflog::set_threshold(cf_log_t::notice);
  cflog::install(make_default_log());
}

std::string exit_status_text(int status) {
  if (const auto* value = vx::ErrorCode_descriptor()->FindValueByNumber(status)) return cf_lex_text(*value);
  return std::to_string(status);
}

void exit_with_status(int status) {
  ensure_log_sink();
  CF_NOTICE("Exit with status " << status << " (" << exit_status_text(status) << ")");
  exit(status);
}

void terminate_handler() {
  try {
    ensure_log_sink();
    try {
      if (std::current_exception()) throw;
      throw vx::EC_UNEXPECTED_ERROR;
    } catch (const std::exception& e) {
      CF_ERROR(exception_text(e));
      _exit(exit_status_of(exception_error_code(e)));
    } catch (...) {
      CF_ERROR("Unexpected exception");
      _exit(vx::EC_UNEXPECTED_ERROR);
    }
  } catch (const std::bad_alloc&) {
    cflog::out_of_memory();
    _exit(vx::EC_NO_MEMORY);
  } catch (...) {
  }
  _exit(vx::EC_UNEXPECTED_ERROR);
}

void protobuf_log_handler(google::protobuf::LogLevel level, const char*, int, const std::string& message) {
  static const char dangerously_large[] = "Reading dangerously large protocol message.";
  switch (level) {
    case google::protobuf::LOGLEVEL_INFO:
      CF_INFO(message);
      break;
    case google::protobuf::LOGLEVEL_WARNING:
      if (message.compare(0, sizeof dangerously_large - 1, dangerously_large) == 0) break;
      CF_WARNING(message);
      break;
    default:
      CF_ERROR(message);
      break;
  }
}
