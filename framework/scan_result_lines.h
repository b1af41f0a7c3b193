#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scan_report.pb.h"

// One clamd result line without its "object: " prefix.
struct cf_result_line_t {
  enum kind_t { clean, found, error };
  kind_t kind;
  std::string text;
};

// Which virus types are reported; the others count as absent.
typedef std::function<bool(vx::VirusType)> cf_detected_t;
// Told of every password-protected object, which is skipped rather than
// reported as an error.
typedef std::function<void(const vx::ScanReport&)> cf_protected_note_t;

// The result lines of one report tree: the first reported threat found
// depth first ("NAME FOUND"), else the first error ("TEXT. ERROR"), else
// "OK". With all_match, every reported threat and then every error gets a
// line of its own.
std::vector<cf_result_line_t> cf_result_lines(const vx::ScanReport& report, bool all_match,
                                              const cf_detected_t& detected = {},
                                              const cf_protected_note_t& protected_note = {});

// The display text of a scan error ("File not found"); the number for a
// value the enumeration does not know.
std::string cf_scan_error_text(int error);
