#include <vector>

#include <gtest/gtest.h>

#include "svc_counters.h"
#include "text_message.h"

namespace {

std::vector<std::uint64_t> counts(const vx::ServiceStat& s) { return {s.scans(), s.detections(), s.errors(), s.bytes()}; }

}  // namespace

// A threat outweighs an error, an error anywhere in the tree counts, and
// only an object read whole adds its bytes.
TEST(ServiceCounters, EachScanCountsOnceByItsOutcome) {
  const auto report = [](const std::string& rest) { return parse_text<vx::ScanReport>("object: 'f' " + rest); };
  const struct {
    vx::ScanReport report;
    std::vector<std::uint64_t> after;  // scans, detections, errors, bytes
  } cases[] = {
      {report("size: 10 item { object: 'f/m' }"), {1, 0, 0, 10}},
      {report("size: 20 item { object: 'f/m' error: SE_PASSWORD_PROTECTED virus { type: SE_KNOWN_VIRUS name: 'T' } }"),
       {2, 1, 0, 30}},
      {report("size: 30 item { object: 'f/m' error: SE_PASSWORD_PROTECTED }"), {3, 1, 1, 60}},
      {report("size: 40 error: SE_OBJECT_SIZE_LIMIT item { object: 'f/m' }"), {4, 1, 2, 60}},
  };
  int changes = 0;
  svc_counters_t counters([&] { ++changes; });
  for (const auto& c : cases) {
    counters.scanned(c.report);
    EXPECT_EQ(counts(counters.stat()), c.after) << c.report.ShortDebugString();
  }
  counters.failed();
  EXPECT_EQ(counts(counters.stat()), std::vector<std::uint64_t>({5, 1, 3, 60}));
  EXPECT_EQ(changes, 5);
}
