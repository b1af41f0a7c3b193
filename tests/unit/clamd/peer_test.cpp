// A real peer over a socketpair: how it ends with the daemon. The command
// table and sessions are exercised end to end by the black-box suite.
#include <gtest/gtest.h>

#include "clamd_peer.h"
#include "client_harness.h"

using namespace std::string_literals;

TEST(Peer, StopOfTheDaemonClosesClients) {
  clamd_harness_t h;
  auto peer = cl_clamd_peer_t::create(h.inventory, "t");
  peer->start(h.connect());
  h.send("nIDSESSION\n");
  h.poll();
  h.inventory.on_stop()();
  EXPECT_EQ("", h.receive());
  EXPECT_TRUE(h.closed);
}

TEST(Peer, DaemonCanGoWhileClientsAreConnected) {
  // Clients kept alive only by their pending reads are destroyed with the
  // event loop's pending handlers; they must find the statistics they
  // report to still there (the sanitizer build catches a use after free),
  // and their sockets are closed.
  auto h = std::make_unique<clamd_harness_t>();
  std::vector<int> clients;
  for (int i = 0; i < 3; ++i) {
    cl_clamd_peer_t::create(h->inventory, "t")->start(h->connect());
    h->send("zIDSESSION\0"s);
    h->poll();
    clients.push_back(::dup(h->client));
  }
  h.reset();
  for (int fd : clients) {
    char c;
    EXPECT_EQ(0, ::recv(fd, &c, 1, MSG_DONTWAIT)) << "connection still open";
    ::close(fd);
  }
}
