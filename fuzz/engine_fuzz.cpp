// The scanning engine over arbitrary bytes: file type detection, every
// archive and compressed format libarchive reads, nested, with the
// built-in rules. The limits are small so that one input cannot take long
// or much memory; what is checked is that every input gives a report for
// the object asked about and nothing worse.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "eng_engine.h"
#include "fuzz_check.h"
#include "log.h"

namespace {

eng_limits_t small_limits() {
  eng_limits_t limits;
  limits.max_object_size = 1 << 20;
  limits.max_expanded_bytes = 4 << 20;
  limits.ratio_floor = 64 << 10;
  limits.max_nesting = 4;
  limits.max_report_items = 256;
  limits.max_name_length = 256;
  return limits;
}

eng_options_t small_options(std::uint8_t flags) {
  eng_options_t options;
  options.scan_timeout_ms = 2000;
  options.archive_max_level = 3;
  options.container_max_level = 3;
  options.max_compression_ratio = 100;
  options.max_size_to_extract = 1 << 20;
  options.heuristic_analysis = flags & 1;
  options.list_clean_items = flags & 2;
  options.report_component_info = flags & 4;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::unique_ptr<eng_engine_t> engine = [] {
    // Scan faults are expected here; the log would only slow the run.
    cflog::set_threshold(cf_log_t::error + 1);
    return std::make_unique<eng_engine_t>(small_limits());
  }();
  if (size == 0) return 0;
  const vx::ScanReport report = engine->scan_buffer("fuzz", data + 1, size - 1, small_options(data[0]));
  FUZZ_CHECK(report.object() == "fuzz");
  FUZZ_CHECK(report.size() == size - 1);
  return 0;
}
