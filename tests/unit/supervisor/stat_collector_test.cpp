#include <tuple>

#include <gtest/gtest.h>

#include "inventory.h"
#include "stat_collector.h"
#include "warden_end.h"

// The collector is the test's own, without a timer: the inventory's
// reports nothing while its counts stay zero. Timed reports reach Warden
// in the black-box endpoint tests.
TEST(StatCollector, ReportsIntervalsWhileAnythingHappened) {
  // base, in, out
  using counts_t = std::tuple<uint64_t, uint64_t, uint64_t>;
  warden_end_t warden;
  cl_inventory_t inventory(warden.daemon_fd);
  auto stats = std::make_shared<cl_stat_collector_t>(inventory);
  const struct {
    int opened, closed;
    bool sent;
    counts_t report;
  } steps[] = {
      {0, 0, false, {}},        // nothing ever: nothing sent
      {1, 1, true, {0, 1, 1}},  // in and out within one interval
      {0, 0, false, {}},        // the interval after that is empty
      {3, 0, true, {3, 3, 0}},
      {0, 0, true, {3, 0, 0}},  // long-lived clients keep being reported
  };
  for (const auto& step : steps) {
    for (int i = 0; i < step.opened; ++i) stats->connection_opened();
    for (int i = 0; i < step.closed; ++i) stats->connection_closed();
    ASSERT_EQ(step.sent, stats->report());
    if (!step.sent) continue;
    const auto m = warden.receive(inventory.io_context());
    EXPECT_EQ(vx::Clamd2WardenMessage::MY_STAT_NOTIFICATION, m.tag());
    const auto& c = m.stat().connections();
    EXPECT_EQ(step.report, counts_t(c.base(), c.in(), c.out()));
  }
}
