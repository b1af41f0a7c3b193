#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "eng_limits.h"
#include "eng_options.h"
#include "eng_rules.h"
#include "scan_report.pb.h"

// The suite's scanning engine: YARA rules over files, byte buffers and the
// members of the archives and compressed streams inside them. Every scan
// returns a report tree. Scans may run on any number of threads at once,
// and rules may be reloaded meanwhile: a scan keeps the rule set it started
// with.
class eng_engine_t {
public:
  // Starts with the built-in rules only. Throws std::runtime_error when
  // libyara cannot be initialised.
  explicit eng_engine_t(const eng_limits_t& limits = eng_limits_t());
  ~eng_engine_t();
  eng_engine_t(const eng_engine_t&) = delete;
  eng_engine_t& operator=(const eng_engine_t&) = delete;

  // Compiles the built-in rules together with the given rule files and
  // directories and puts them in force. When anything fails the rules in
  // force stay, and the faults are returned (and logged).
  std::vector<eng_rule_error_t> load_rules(const std::vector<std::string>& paths);

  // Scans the regular file at path; the report's object is the path.
  vx::ScanReport scan_file(const std::string& path, const eng_options_t& options) const;
  // Scans bytes already in memory under the given object name.
  vx::ScanReport scan_buffer(const std::string& object, const void* data, std::size_t size,
                             const eng_options_t& options) const;

  // The rule set in force.
  std::shared_ptr<const eng_rules_t> rules() const;
  // The limits the engine was made with.
  const eng_limits_t& limits() const { return limits_; }

private:
  const eng_limits_t limits_;
  mutable std::mutex mutex_;
  std::shared_ptr<const eng_rules_t> rules_;
};
