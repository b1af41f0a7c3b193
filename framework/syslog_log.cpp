#include "syslog_log.h"

#include <syslog.h>

#include <atomic>

namespace {
// openlog is process-wide: a sink replaced by a newer syslog sink must not
// closelog on its successor's behalf.
std::atomic<unsigned> open_generation{0};
}  // namespace

cf_syslog_log_t::cf_syslog_log_t(int facility, std::string ident, callback_t extra)
    : cf_log_t(std::move(extra)), facility_(facility), ident_(std::move(ident)) {}

cf_syslog_log_t::~cf_syslog_log_t() {
  if (generation_ != 0 && generation_ == open_generation.load()) closelog();
}

void cf_syslog_log_t::open() {
  openlog(ident_.empty() ? nullptr : ident_.c_str(), LOG_PID, facility_);
  generation_ = ++open_generation;
}

int cf_syslog_log_t::priority(level_t level) noexcept {
  if (level >= debug && level <= error) return 7 - level;
  return LOG_ERR;
}

void cf_syslog_log_t::write(level_t level, const std::string& message) {
  syslog(priority(level), "%s", message.c_str());
}

void cf_syslog_log_t::out_of_memory() { syslog(LOG_ERR, "Error: Not enough memory"); }
