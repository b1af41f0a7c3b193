#pragma once

#include <string>
#include <vector>

#include "scan_report.pb.h"

// Test objects made on the spot with libarchive's writer, so that no binary
// fixture is ever checked in.
namespace fixture {

struct member_t {
  std::string name;
  std::string data;
};

// The anti-virus test file, put together at run time so that this source
// does not contain it.
std::string eicar();

// An archive in memory: format "zip", "tar" (ustar), "7z" or "cpio", optionally
// behind a filter ("gzip", "bzip2", "xz"); zip members are encrypted when a
// passphrase is given. options go to archive_write_set_options.
std::string archive(const std::string& format, const std::vector<member_t>& members,
                    const std::string& filter = "", const std::string& passphrase = "",
                    const std::string& options = "");

// Bytes that no compressor can shrink, the same on every run.
std::string noise(std::size_t size);

// One stream compressed by a filter, with no archive around it.
std::string compressed(const std::string& filter, const std::string& name, const std::string& data);

// The report with every size field cleared, for comparing tree shapes.
vx::ScanReport shape(const vx::ScanReport& report);

// The report parsed from protobuf text format.
vx::ScanReport parse(const std::string& text);

// Empty when equal, otherwise both trees in text format.
std::string difference(const vx::ScanReport& expected, const vx::ScanReport& actual);

// A private directory removed with everything in it when the object goes.
class temp_dir_t {
public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;
  const std::string& path() const { return path_; }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& data) const;

private:
  std::string path_;
};

}  // namespace fixture

// Compares a report's tree shape (sizes ignored) with a text-format tree.
#define EXPECT_TREE(report, text) \
  EXPECT_EQ("", ::fixture::difference(::fixture::parse(text), ::fixture::shape(report)))
