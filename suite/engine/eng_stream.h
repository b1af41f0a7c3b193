#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "eng_options.h"
#include "scan_report.pb.h"

class eng_engine_t;

// A byte stream scanned once it is complete: chunks are appended as they
// arrive, the options come with the request to scan. Holds at most the
// engine's largest object size; a longer stream is counted, not kept, and is
// reported as too large. The engine must outlive the stream.
class eng_stream_t {
public:
  eng_stream_t(const eng_engine_t& engine, std::string object);

  // Adds the next chunk.
  void append(const void* data, std::size_t size);
  // Bytes appended so far.
  std::uint64_t size() const { return total_; }
  // Scans what was appended and empties the stream for reuse.
  vx::ScanReport finish(const eng_options_t& options);
  // Drops what was appended.
  void reset();

private:
  const eng_engine_t& engine_;
  std::string object_;
  std::vector<unsigned char> data_;
  std::uint64_t total_ = 0;
};
