#include <string>

#include <gtest/gtest.h>

#include "inventory.h"
#include "stat_collector.h"
#include "warden_end.h"

// The collector is the test's own, without a timer: the inventory's
// reports nothing while its counts stay zero. Timed reports reach Warden
// in the black-box endpoint tests.
TEST(StatCollector, ReportsIntervalsWhileAnythingHappened) {
  warden_end_t warden;
  cl_inventory_t inventory(warden.daemon_fd);
  auto stats = std::make_shared<cl_stat_collector_t>(inventory);
  const struct {
    int opened, closed;
    std::string counts;  // empty: nothing sent
  } steps[] = {
      {0, 0, ""},  // nothing ever
      {1, 1, "base: 0 in: 1 out: 1"},  // in and out within one interval
      {0, 0, ""},  // the interval after that is empty
      {3, 0, "base: 3 in: 3 out: 0"},
      {0, 0, "base: 3 in: 0 out: 0"},  // long-lived clients keep being reported
  };
  for (const auto& step : steps) {
    for (int i = 0; i < step.opened; ++i) stats->connection_opened();
    for (int i = 0; i < step.closed; ++i) stats->connection_closed();
    ASSERT_EQ(!step.counts.empty(), stats->report());
    if (step.counts.empty()) continue;
    EXPECT_EQ("tag: MY_STAT_NOTIFICATION stat { connections { " + step.counts + " } }",
              warden.receive(inventory.io_context()).ShortDebugString());
  }
}
