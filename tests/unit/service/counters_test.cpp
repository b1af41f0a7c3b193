#include <vector>

#include <gtest/gtest.h>

#include "svc_counters.h"

namespace {

vx::ScanReport report(std::uint64_t size, bool threat_in_member, bool member_error, bool top_error) {
  vx::ScanReport r;
  r.set_object("f");
  r.set_size(size);
  if (top_error) r.set_error(vx::SE_OBJECT_SIZE_LIMIT);
  vx::ScanReport* member = r.add_item();
  member->set_object("f/m");
  if (member_error) member->set_error(vx::SE_PASSWORD_PROTECTED);
  if (threat_in_member) member->add_virus()->set_name("T");
  return r;
}

std::vector<std::uint64_t> counts(const vx::ServiceStat& s) { return {s.scans(), s.detections(), s.errors(), s.bytes()}; }

}  // namespace

// A threat outweighs an error, an error anywhere in the tree counts, and
// only an object read whole adds its bytes.
TEST(ServiceCounters, EachScanCountsOnceByItsOutcome) {
  const struct {
    vx::ScanReport report;
    std::vector<std::uint64_t> after;  // scans, detections, errors, bytes
  } cases[] = {
      {report(10, false, false, false), {1, 0, 0, 10}},
      {report(20, true, true, false), {2, 1, 0, 30}},
      {report(30, false, true, false), {3, 1, 1, 60}},
      {report(40, false, false, true), {4, 1, 2, 60}},
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
