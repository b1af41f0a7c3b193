#pragma once

#include <string>
#include <vector>

#include "scan_report.pb.h"

// One clamd result line without its "object: " prefix.
struct vs_result_line_t {
  enum kind_t { clean, found, error };
  kind_t kind;
  std::string text;
};

// The result lines of one report: the first threat found depth first
// ("NAME FOUND"), else the first error ("TEXT. ERROR"; password protection
// is not an error), else "OK". With all_match, every threat and then every
// error gets a line.
std::vector<vs_result_line_t> vs_result_lines(const vx::ScanReport& report, bool all_match);

// The display text of a scan error ("File not found").
std::string vs_scan_error_text(int error);
