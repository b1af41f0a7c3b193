#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

// One problem found in a configuration file: where it is and what is wrong.
struct wd_config_issue_t {
  std::string file;
  unsigned line = 0;   // 0 when the problem has no line (a missing file)
  std::string key;     // the key or "[Section]"; empty for syntax errors
  std::string message;

  // "file:line: key: message", leaving out the parts that are empty.
  std::string text() const;
};

// A configuration that cannot be used. Carries every problem found, in
// file order; what() is the first one and a count of the others.
class wd_config_error_t : public std::runtime_error {
public:
  explicit wd_config_error_t(std::vector<wd_config_issue_t> issues);

  const std::vector<wd_config_issue_t>& issues() const noexcept { return issues_; }

private:
  static std::string summary(const std::vector<wd_config_issue_t>& issues);
  std::vector<wd_config_issue_t> issues_;
};

// Logs why a configuration could not be loaded or put in force: each
// problem of a wd_config_error_t on an error line of its own, any other
// exception as its text.
void wd_log_failure(const std::exception& e);
