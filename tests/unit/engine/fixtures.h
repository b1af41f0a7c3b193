#pragma once

#include <string>
#include <vector>

#include "scan_report.pb.h"

// Test objects made on the spot with libarchive's writer, so that no binary
// fixture is ever checked in, and reports written as one line.
namespace fixture {

struct member_t {
  std::string name;
  std::string data;
};

// The anti-virus test file, put together at run time so that this source
// does not contain it.
std::string eicar();

// An archive in memory: format "zip", "tar" (ustar), "7z", "cpio" or "raw" (one
// member, no archive around it: a lone compressed stream), optionally
// behind a filter ("gzip", "bzip2", "xz"); zip members are encrypted when a
// passphrase is given. options go to archive_write_set_options.
std::string archive(const std::string& format, const std::vector<member_t>& members,
                    const std::string& filter = "", const std::string& passphrase = "",
                    const std::string& options = "");

// One stream compressed by a filter, storing no name.
std::string compressed(const std::string& filter, const std::string& data);

// Bytes that no compressor can shrink, the same on every run.
std::string noise(std::size_t size);

// A report tree on one line, sizes left out:
//   object archive:zip !ERROR KNOWN_VIRUS:Name {item; item}
// Any other field set is shown as text format in brackets, so nothing
// unexpected goes unseen.
std::string tree(const vx::ScanReport& report);

}  // namespace fixture
