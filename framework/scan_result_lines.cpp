#include "scan_result_lines.h"

#include "proto_error_category.h"

namespace {

struct walk_t {
  bool all_match;
  const cf_detected_t& detected;
  const cf_protected_note_t& protected_note;
  std::vector<cf_result_line_t> lines;

  // Both walks stop at the first line unless every line is wanted.
  bool done() const { return !all_match && !lines.empty(); }

  void threats(const vx::ScanReport& report) {
    for (const auto& virus : report.virus()) {
      if (detected && !detected(virus.type())) continue;
      lines.push_back({cf_result_line_t::found, virus.name() + " FOUND"});
      if (done()) return;
    }
    for (const auto& item : report.item()) {
      threats(item);
      if (done()) return;
    }
  }

  void errors(const vx::ScanReport& report) {
    if (report.has_error()) {
      if (report.error() != vx::SE_PASSWORD_PROTECTED) {
        lines.push_back({cf_result_line_t::error, cf_scan_error_text(report.error()) + ". ERROR"});
        if (done()) return;
      } else if (protected_note) {
        protected_note(report);
      }
    }
    for (const auto& item : report.item()) {
      errors(item);
      if (done()) return;
    }
  }
};

}  // namespace

std::vector<cf_result_line_t> cf_result_lines(const vx::ScanReport& report, bool all_match,
                                              const cf_detected_t& detected,
                                              const cf_protected_note_t& protected_note) {
  walk_t walk{all_match, detected, protected_note, {}};
  walk.threats(report);
  if (walk.done()) return std::move(walk.lines);
  walk.errors(report);
  if (walk.lines.empty()) walk.lines.push_back({cf_result_line_t::clean, "OK"});
  return std::move(walk.lines);
}

std::string cf_scan_error_text(int error) {
  const auto* value = vx::ScanError_descriptor()->FindValueByNumber(error);
  return value ? cf_lex_text(*value) : std::to_string(error);
}
