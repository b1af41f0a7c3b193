#include "eng_engine.h"

#include <algorithm>
#include <stdexcept>

#include "eng_file_reader.h"
#include "eng_scan.h"
#include "log.h"

eng_engine_t::eng_engine_t(const eng_limits_t& limits) : limits_(limits) {
  std::vector<eng_rule_error_t> errors;
  rules_ = eng_rules_t::compile({}, errors);
  if (!rules_) {
    throw std::runtime_error("Built-in rules do not compile: " +
                             (errors.empty() ? std::string("unknown error") : errors.front().to_string()));
  }
}

eng_engine_t::~eng_engine_t() = default;

std::vector<eng_rule_error_t> eng_engine_t::load_rules(const std::vector<std::string>& paths) {
  std::vector<eng_rule_error_t> errors;
  auto fresh = eng_rules_t::compile(paths, errors);
  if (!fresh) {
    for (const auto& error : errors) CF_ERROR("Rules: " << error.to_string());
    CF_ERROR("Rules not loaded; the previous rules stay in force");
    return errors;
  }
  CF_INFO("Rules loaded: " << fresh->count() << " rules from " << fresh->files().size() << " files");
  std::lock_guard<std::mutex> guard(mutex_);
  rules_.swap(fresh);
  // The old set goes when its last scan ends, possibly right here.
  return errors;
}

std::shared_ptr<const eng_rules_t> eng_engine_t::rules() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return rules_;
}

vx::ScanReport eng_engine_t::scan_file(const std::string& path, const eng_options_t& options) const {
  vx::ScanReport report;
  report.set_object(path);
  const std::uint64_t limit = std::min(limits_.max_object_size, options.max_size_to_scan);
  eng_bytes_t data;
  std::uint64_t size = 0;
  vx::ScanError error = vx::SE_READ_ERROR;
  bool read = false;
  try {
    read = eng_read_file(path, limit, data, size, error);
  } catch (const std::bad_alloc&) {
    error = vx::SE_FILE_TOO_LARGE;
  }
  if (!read) {
    if (size) report.set_size(size);
    // Too large for the request is the request's limit; too large for the
    // engine is the file's problem.
    if (error == vx::SE_FILE_TOO_LARGE && options.max_size_to_scan < limits_.max_object_size)
      error = vx::SE_OBJECT_SIZE_LIMIT;
    report.set_error(error);
    return report;
  }
  eng_scan_t(rules(), limits_, options).run(report, data.data(), data.size());
  return report;
}

vx::ScanReport eng_engine_t::scan_buffer(const std::string& object, const void* data, std::size_t size,
                                         const eng_options_t& options) const {
  vx::ScanReport report;
  report.set_object(object);
  eng_scan_t(rules(), limits_, options).run(report, static_cast<const unsigned char*>(data), size);
  return report;
}
