#pragma once

#include <cstdint>
#include <string>
#include "eng_bytes.h"
#include "scan_report.pb.h"

// Reads one regular file whole into memory, without following it into
// special files: a FIFO, device or directory is refused before any read can
// block. Returns true with data filled, or false with error set; size is the
// file's size as far as it is known (also when it was too large to read).
bool eng_read_file(const std::string& path, std::uint64_t limit, eng_bytes_t& data,
                   std::uint64_t& size, vx::ScanError& error);
