#include "wd_config_error.h"

#include <utility>

std::string wd_config_issue_t::text() const {
  std::string out = file;
  if (line) out += ":" + std::to_string(line);
  if (!key.empty()) out += (out.empty() ? "" : ": ") + key;
  return out + (out.empty() ? "" : ": ") + message;
}

wd_config_error_t::wd_config_error_t(std::vector<wd_config_issue_t> issues)
    : std::runtime_error(summary(issues)), issues_(std::move(issues)) {}

std::string wd_config_error_t::summary(const std::vector<wd_config_issue_t>& issues) {
  if (issues.empty()) return "invalid configuration";
  std::string out = issues.front().text();
  if (issues.size() > 1) out += " (and " + std::to_string(issues.size() - 1) + " more)";
  return out;
}
