#pragma once

// A log sink that keeps every line, "Level: message", for tests that check
// what was logged. Install it with cflog::install; lines() is safe to read
// while other threads log.
#include <mutex>
#include <string>
#include <vector>

#include "log.h"

class captured_log_t : public cf_log_t {
public:
  explicit captured_log_t(callback_t extra = callback_t()) : cf_log_t(std::move(extra)) {}

  void open() override { ++opened; }
  void write(level_t level, const std::string& message) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(std::string(cflog::level_name(level)) + ": " + message);
  }
  void out_of_memory() override { write(cf_log_t::error, "out of memory"); }

  // A copy of the lines so far.
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  // True when some line contains text.
  bool contains(const std::string& text) const {
    for (const auto& line : lines())
      if (line.find(text) != std::string::npos) return true;
    return false;
  }

  int opened = 0;

private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};
