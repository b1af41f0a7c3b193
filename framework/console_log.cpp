#include "console_log.h"

cf_console_log_t::cf_console_log_t(callback_t extra) : cf_log_t(std::move(extra)) {}

void cf_console_log_t::open() {}

void cf_console_log_t::write(level_t level, const std::string& message) { cflog::write_stderr(level, message); }

void cf_console_log_t::out_of_memory() {
  cflog::write_oom_notice();
}
