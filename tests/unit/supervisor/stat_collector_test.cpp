#include <gtest/gtest.h>

#include "inventory.h"
#include "peer_socket.h"
#include "stat_collector.h"
#include "warden_tie.h"

namespace {

void expect_report(peer_socket_t& peer, cl_inventory_t& inventory, uint64_t base, uint64_t in, uint64_t out) {
  auto m = peer.receive(inventory.io_context());
  ASSERT_EQ(vx::Clamd2WardenMessage::MY_STAT_NOTIFICATION, m.tag());
  EXPECT_EQ(base, m.stat().connections().base());
  EXPECT_EQ(in, m.stat().connections().in());
  EXPECT_EQ(out, m.stat().connections().out());
}

}  // namespace

TEST(StatCollector, ReportsIntervalsWhileAnythingHappened) {
  peer_socket_t peer;
  cl_inventory_t inventory(peer.daemon_fd);
  auto& stats = inventory.stats();

  EXPECT_FALSE(stats.report());  // nothing ever: nothing sent

  stats.connection_opened();
  stats.connection_closed();
  EXPECT_TRUE(stats.report());
  expect_report(peer, inventory, 0, 1, 1);
  EXPECT_FALSE(stats.report());  // the interval after that is empty

  for (int i = 0; i < 3; ++i) stats.connection_opened();
  EXPECT_TRUE(stats.report());
  expect_report(peer, inventory, 3, 3, 0);
  EXPECT_TRUE(stats.report());  // long-lived clients keep being reported
  expect_report(peer, inventory, 3, 0, 0);
}

TEST(StatCollector, TimerSendsTheReport) {
  peer_socket_t peer;
  cl_inventory_t inventory(peer.daemon_fd);
  inventory.stats().connection_opened();
  // Sent by the one-second timer, not by the test.
  expect_report(peer, inventory, 1, 1, 0);
}
