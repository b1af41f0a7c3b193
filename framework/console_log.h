#pragma once

#include <string>

#include "log.h"

// Sink writing "Level: message" lines to stderr.
class cf_console_log_t : public cf_log_t {
public:
  explicit cf_console_log_t(callback_t extra);

  void open() override;
  void write(level_t level, const std::string& message) override;
  void out_of_memory() override;
};
