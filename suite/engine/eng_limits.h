#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

// Engine-wide bounds set by the administrator, not by the request. They keep
// one scan's memory and report size finite whatever the options say.
struct eng_limits_t {
  typedef std::function<std::chrono::steady_clock::time_point()> clock_t;

  // Largest object held in memory for scanning: a file, a stream, or one
  // extracted archive member.
  std::uint64_t max_object_size = 256u << 20;
  // Most bytes that extracted members of one scan may hold at once (the
  // members being expanded along the current nesting path).
  std::uint64_t max_expanded_bytes = 256u << 20;
  // Below this many expanded bytes a container's compression ratio is not
  // judged: small, very compressible files are common and harmless.
  std::uint64_t ratio_floor = 1u << 20;
  // Upper bound of either nesting level, whatever the options ask.
  std::uint32_t max_nesting = 16;
  // Most nested reports kept in one scan's report tree.
  std::uint32_t max_report_items = 10000;
  // Member names longer than this are cut in the report.
  std::uint32_t max_name_length = 1024;
  // The time source of scan deadlines.
  clock_t clock = &std::chrono::steady_clock::now;
};
