#pragma once

#include <string>
#include <vector>

#include "wd_config_error.h"

// The lexical layer of the suite's configuration file: sections of
// "Key = Value" lines. Nothing here knows what a key means.
//
//   # a comment (also ; at the start of a line)
//   [Section.Sub.tag]
//   Key = value text, trimmed; '#' inside a value is part of it
class wd_ini_file_t {
public:
  struct entry_t {
    std::string key;
    std::string value;
    unsigned line;
  };
  struct section_t {
    std::string name;
    unsigned line;
    std::vector<entry_t> entries;
  };

  // Files larger than this are refused rather than read.
  static constexpr std::size_t max_size = 1 << 20;

  // Splits text into sections; name is used in error messages. Throws
  // wd_config_error_t listing every malformed line.
  static wd_ini_file_t parse(const std::string& text, const std::string& name);
  // Reads and parses a file; a file that cannot be read is an error too,
  // and so is one that others could change (writable by every user, or
  // owned by another user than root or Warden's own).
  static wd_ini_file_t load(const std::string& path);

  const std::string& name() const { return name_; }
  const std::vector<section_t>& sections() const { return sections_; }

private:
  using issues_t = std::vector<wd_config_issue_t>;
  // A "[Section]" line, and a "Key = Value" line, at a line number; what
  // is wrong with them goes to issues.
  void read_header(const std::string& line, unsigned number, issues_t& issues);
  void read_entry(const std::string& line, unsigned number, issues_t& issues);

  std::string name_;
  std::vector<section_t> sections_;
};
