#pragma once

#include <sys/types.h>

#include <string>

#include "log.h"

// Sink writing timestamped lines to a descriptor (a log file, or stderr):
// "2024-Mar-07 14:05:09 [pid] Level: message".
class cf_file_log_t : public cf_log_t {
public:
  cf_file_log_t(int fd, bool owns_fd, callback_t extra);
  ~cf_file_log_t() override;

  void open() override;
  void write(level_t level, const std::string& message) override;
  void out_of_memory() override;

  // The line written for a message, without the trailing newline.
  std::string format(level_t level, const std::string& message) const;

private:
  int fd_;
  bool owns_fd_;
  pid_t pid_;
};
