#pragma once

#include <cstdint>
#include <limits>

namespace sv {
class ProxyOptions;
}
namespace cr {
class ScanOptions;
}

// What one scan request asks of the engine. Both services' option records
// map onto it; a default-constructed value equals a data scan sent with no
// options at all. Zero in a level, ratio or time-out means "none": no
// archive is opened, no ratio is enforced, no time limit applies.
struct eng_options_t {
  static constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();

  // Time budget of the whole scan, nested objects included.
  std::uint32_t scan_timeout_ms = 3600000;
  // Lets rules of threat type "suspicious" report.
  bool heuristic_analysis = true;
  // How many archives (zip, tar, 7z, ...) may be opened one inside another.
  std::uint32_t archive_max_level = 8;
  // How many compressed streams (gz, bz2, xz, ...) may be opened one inside
  // another.
  std::uint32_t container_max_level = 8;
  // Expanded bytes over compressed bytes above which a container is not
  // expanded further.
  std::uint32_t max_compression_ratio = 500;
  // Archive members larger than this are not extracted.
  std::uint64_t max_size_to_extract = unlimited;
  // Objects smaller than this are not scanned (and count as clean).
  std::uint64_t min_size_to_scan = 0;
  // Objects larger than this are not scanned (and carry an error).
  std::uint64_t max_size_to_scan = unlimited;
  // Keeps archive members without threat or error in the report.
  bool list_clean_items = false;
  // Adds the engine's version and rule count to the top-level report.
  bool report_component_info = false;

  // The options of a file check requested through the file service.
  static eng_options_t from(const sv::ProxyOptions& options);
  // The options of a data scan requested through the data service.
  static eng_options_t from(const cr::ScanOptions& options);
};
