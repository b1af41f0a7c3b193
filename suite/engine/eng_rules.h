#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "eng_yara.h"
#include "scan_report.pb.h"

struct YR_RULE;
struct YR_RULES;

// A rule file that could not be used: where, and what YARA (or the metadata
// check) said.
struct eng_rule_error_t {
  std::string file;
  int line = 0;  // 0 when the fault has no line
  std::string message;

  // "file:line: message", or "file: message" without a line.
  std::string to_string() const;
};

// One compiled, immutable rule set: the built-in rules plus the
// administrator's rule files. Shared by every scan that started while it was
// in force; any number of threads may scan with it at once.
//
// Rule metadata read here:
//   threat_type  "known", "modification", "suspicious", "adware", "dialer",
//                "joke", "riskware" or "hacktool" (default "known")
//   threat_name  the name reported for a match (default: the rule's name)
class eng_rules_t {
public:
  // What a matching rule reports.
  struct threat_t {
    vx::VirusType type;
    std::string name;
  };

  // Compiles the built-in rules and every file named in paths; a directory
  // stands for its *.yar and *.yara files in name order. Each file gets a
  // namespace of its own. Returns null, with errors filled, when anything
  // fails to compile or carries bad metadata.
  static std::shared_ptr<const eng_rules_t> compile(const std::vector<std::string>& paths,
                                                    std::vector<eng_rule_error_t>& errors);

  ~eng_rules_t();
  eng_rules_t(const eng_rules_t&) = delete;
  eng_rules_t& operator=(const eng_rules_t&) = delete;

  // The compiled rules, for scanners.
  YR_RULES* yara() const { return rules_; }
  // What a matching rule reports; null for a rule this set does not know.
  const threat_t* threat(const YR_RULE* rule) const;
  // Number of reporting (non-private) rules.
  std::size_t count() const { return threats_.size(); }
  // Seconds since the epoch when the set was compiled.
  std::uint64_t stamp() const { return stamp_; }
  // The rule files that went into the set, in order.
  const std::vector<std::string>& files() const { return files_; }

private:
  eng_rules_t() = default;

  eng_yara_t library_;  // first member: outlives the rules
  YR_RULES* rules_ = nullptr;
  std::unordered_map<const YR_RULE*, threat_t> threats_;
  std::uint64_t stamp_ = 0;
  std::vector<std::string> files_;
};
