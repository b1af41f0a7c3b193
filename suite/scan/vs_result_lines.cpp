#include "vs_result_lines.h"

#include "proto_error_category.h"

namespace {

// Both walks stop at the first line unless every line is wanted.
void collect_threats(const vx::ScanReport& report, bool all_match, std::vector<vs_result_line_t>& lines) {
  for (const auto& virus : report.virus()) {
    lines.push_back({vs_result_line_t::found, virus.name() + " FOUND"});
    if (!all_match) return;
  }
  for (const auto& item : report.item()) {
    collect_threats(item, all_match, lines);
    if (!all_match && !lines.empty()) return;
  }
}

void collect_errors(const vx::ScanReport& report, bool all_match, std::vector<vs_result_line_t>& lines) {
  if (report.has_error() && report.error() != vx::SE_PASSWORD_PROTECTED) {
    lines.push_back({vs_result_line_t::error, vs_scan_error_text(report.error()) + ". ERROR"});
    if (!all_match) return;
  }
  for (const auto& item : report.item()) {
    collect_errors(item, all_match, lines);
    if (!all_match && !lines.empty()) return;
  }
}

}  // namespace

std::vector<vs_result_line_t> vs_result_lines(const vx::ScanReport& report, bool all_match) {
  std::vector<vs_result_line_t> lines;
  collect_threats(report, all_match, lines);
  if (!all_match && !lines.empty()) return lines;
  collect_errors(report, all_match, lines);
  if (lines.empty()) lines.push_back({vs_result_line_t::clean, "OK"});
  return lines;
}

std::string vs_scan_error_text(int error) {
  const auto* value = vx::ScanError_descriptor()->FindValueByNumber(error);
  return value ? cf_lex_text(*value) : std::to_string(error);
}
