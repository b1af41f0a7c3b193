#include "wd_config_error.h"

#include <utility>

#include "exception_mapping.h"
#include "log.h"

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

void wd_log_failure(const std::exception& e) {
  if (const auto* config = dynamic_cast<const wd_config_error_t*>(&e)) {
    for (const auto& issue : config->issues()) CF_ERROR("Warden: " << issue.text());
    return;
  }
  CF_ERROR("Warden: " << exception_text(e));
}
