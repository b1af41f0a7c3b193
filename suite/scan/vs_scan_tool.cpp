#include "vs_scan_tool.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include <google/protobuf/text_format.h>

#include "scan_result_lines.h"

namespace fs = std::filesystem;

vs_scan_tool_t::vs_scan_tool_t(const eng_engine_t& engine, const settings_t& settings, std::ostream& out)
    : engine_(engine), settings_(settings), out_(out) {}

int vs_scan_tool_t::status() const {
  if (found_) return 1;
  return failed_ ? 2 : 0;
}

void vs_scan_tool_t::scan_path(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    scan_directory(path);
    return;
  }
  // Anything else, missing paths included, is the engine's to judge.
  scan_file(path);
}

void vs_scan_tool_t::scan_directory(const std::string& path) {
  std::error_code ec;
  std::vector<fs::directory_entry> entries;
  fs::directory_iterator it(path, ec), end;
  for (; !ec && it != end; it.increment(ec)) entries.push_back(*it);
  if (ec) {
    print_error(path, ec.value() == EACCES || ec.value() == EPERM ? vx::SE_NO_ACCESS : vx::SE_READ_ERROR);
    return;
  }
  std::sort(entries.begin(), entries.end());
  for (const auto& entry : entries) {
    std::error_code type_ec;
    const auto status = entry.symlink_status(type_ec);
    if (type_ec) continue;  // gone since it was listed
    if (fs::is_directory(status)) scan_directory(entry.path().string());
    else if (fs::is_regular_file(status)) scan_file(entry.path().string());
  }
}

void vs_scan_tool_t::scan_file(const std::string& path) {
  const vx::ScanReport report = engine_.scan_file(path, settings_.options);
  for (const auto& line : cf_result_lines(report, settings_.all_match)) {
    out_ << path << ": " << line.text << '\n';
    if (line.kind == cf_result_line_t::found) found_ = true;
    if (line.kind == cf_result_line_t::error) failed_ = true;
  }
  if (settings_.print_report) {
    std::string text;
    google::protobuf::TextFormat::PrintToString(report, &text);
    out_ << text << '\n';
  }
}

void vs_scan_tool_t::print_error(const std::string& path, int error) {
  out_ << path << ": " << cf_scan_error_text(error) << ". ERROR\n";
  failed_ = true;
}
