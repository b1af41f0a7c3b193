#pragma once

#include <string>

#include "log.h"

// Sink writing to syslog with the process id.
class cf_syslog_log_t : public cf_log_t {
public:
  cf_syslog_log_t(int facility, std::string ident, callback_t extra);
  ~cf_syslog_log_t() override;

  void open() override;
  void write(level_t level, const std::string& message) override;
  void out_of_memory() override;

  // syslog priority of a log level: LOG_DEBUG ... LOG_ERR, LOG_ERR for
  // anything else.
  static int priority(level_t level) noexcept;

private:
  int facility_;
  std::string ident_;  // openlog keeps the pointer: must outlive the sink
  unsigned generation_ = 0;
};
