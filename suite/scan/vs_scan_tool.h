#pragma once

#include <ostream>
#include <string>

#include "eng_engine.h"
#include "eng_options.h"

// Scans files and directory trees with one engine and prints a clamd result
// line per file. Directories are walked in name order; inside them, symbolic
// links and special files are skipped (a link named on the command line is
// followed).
class vs_scan_tool_t {
public:
  struct settings_t {
    eng_options_t options;
    // One line per threat and per error instead of the first only.
    bool all_match = false;
    // Prints each report tree after its lines.
    bool print_report = false;
  };

  vs_scan_tool_t(const eng_engine_t& engine, const settings_t& settings, std::ostream& out);

  // Scans one command-line argument.
  void scan_path(const std::string& path);

  // Process exit status so far: 1 when anything was found, else 2 when
  // anything could not be scanned, else 0.
  int status() const;

private:
  void scan_directory(const std::string& path);
  void scan_file(const std::string& path);
  void print_error(const std::string& path, int error);

  const eng_engine_t& engine_;
  settings_t settings_;
  std::ostream& out_;
  bool found_ = false;
  bool failed_ = false;
};
