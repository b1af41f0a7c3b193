#pragma once

#include <memory>

#include "log.h"
#include "log.pb.h"

// The console sink ("Level: message" on stderr) with no extra copy.
std::shared_ptr<cf_log_t> make_default_log();

// Builds the sink a Log record asks for. With an empty callback, lines are
// also copied to the descriptor named by COM_VEMRA_ADD_LOG_PIPE (not for
// STDERR logs). Returns an empty pointer for AUTO. Throws
// boost::filesystem::filesystem_error "Cannot create log" when a log file
// cannot be opened.
std::shared_ptr<cf_log_t> make_log(const vx::Log& settings, cf_log_t::callback_t callback);

// syslog facility code of a LogFacility value (LOG_DAEMON when unknown).
int syslog_facility(int facility) noexcept;

// The log threshold of a configured level; Error for anything unknown.
cf_log_t::level_t log_threshold(vx::LogLevel level) noexcept;
