#include <gtest/gtest.h>

#include "svc_counters.h"

namespace {

vx::ScanReport report(std::uint64_t size, bool threat_in_member, bool member_error, bool top_error) {
  vx::ScanReport r;
  r.set_object("f");
  r.set_size(size);
  vx::ScanReport* member = r.add_item();
  member->set_object("f/m");
  if (threat_in_member) {
    vx::Virus* threat = member->add_virus();
    threat->set_type(vx::SE_KNOWN_VIRUS);
    threat->set_name("T");
  }
  if (member_error) member->set_error(vx::SE_PASSWORD_PROTECTED);
  if (top_error) r.set_error(vx::SE_OBJECT_SIZE_LIMIT);
  return r;
}

}  // namespace

// A threat outweighs an error, an error anywhere in the tree counts, and
// only an object read whole adds its bytes.
TEST(ServiceCounters, EachScanCountsOnceByItsOutcome) {
  const struct {
    vx::ScanReport report;
    std::uint64_t detections, errors, bytes;
  } cases[] = {
      {report(10, false, false, false), 0, 0, 10},
      {report(20, true, true, false), 1, 0, 20},
      {report(30, false, true, false), 0, 1, 30},
      {report(40, false, false, true), 0, 1, 0},
  };
  int changes = 0;
  svc_counters_t counters([&] { ++changes; });
  for (const auto& c : cases) {
    const vx::ServiceStat before = counters.stat();
    counters.scanned(c.report);
    const vx::ServiceStat& now = counters.stat();
    EXPECT_EQ(now.scans() - before.scans(), 1u);
    EXPECT_EQ(now.detections() - before.detections(), c.detections) << c.report.DebugString();
    EXPECT_EQ(now.errors() - before.errors(), c.errors) << c.report.DebugString();
    EXPECT_EQ(now.bytes() - before.bytes(), c.bytes) << c.report.DebugString();
  }
  counters.failed();
  EXPECT_EQ(counters.stat().ShortDebugString(), "scans: 5 detections: 1 errors: 3 bytes: 60");
  EXPECT_EQ(changes, 5);
}
