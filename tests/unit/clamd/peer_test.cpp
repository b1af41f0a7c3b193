// The command table and sessions of a real peer, over a socketpair.
#include <regex>

#include <gtest/gtest.h>

#include "clamd_peer.h"
#include "client_harness.h"

using namespace std::string_literals;

namespace {

// One client conversation: everything sent at once, everything received
// until the peer closes.
std::string converse(const std::string& wire) {
  clamd_harness_t h;
  // Not kept: the conversation ends when the peer's last reference goes.
  cl_clamd_peer_t::create(h.inventory, "t")->start(h.connect());
  h.send(wire);
  std::string got = h.receive();
  EXPECT_TRUE(h.closed) << "for " << wire;
  return got;
}

const std::string version_pattern =
    R"(ClamAV \d+\.\d+\.\d+/\d{10}/(Mon|Tue|Wed|Thu|Fri|Sat|Sun) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3]\d \d\d:\d\d:\d\d \d{4} \(Vemra ClamD\))";

}  // namespace

TEST(Peer, SimpleCommandsAndTheirRules) {
  for (const auto& prefix : {"n"s, "z"s, ""s}) {
    const std::string t = prefix == "z" ? "\0"s : "\n"s;
    EXPECT_EQ("PONG" + t, converse(prefix + "PING" + t));
    EXPECT_EQ("RELOADING" + t, converse(prefix + "RELOAD" + t));
    EXPECT_EQ("UNKNOWN COMMAND" + t, converse(prefix + "PONG" + t));
    EXPECT_EQ("UNKNOWN COMMAND" + t, converse(prefix + "ping" + t));
    EXPECT_EQ("UNKNOWN COMMAND" + t, converse(prefix + "PING " + t));  // trailing space: arguments
    EXPECT_EQ("", converse(prefix + "SHUTDOWN" + t));
    EXPECT_EQ("UNKNOWN COMMAND" + t, converse(prefix + "SCAN" + t));  // needs a path
    EXPECT_TRUE(std::regex_match(converse(prefix + "VERSION" + t), std::regex(version_pattern + t)));
  }
  EXPECT_EQ("Statistic is not available\nEND\0"s, converse("zSTATS\0"s));
  EXPECT_EQ("Statistic is not available\nEND\n", converse("nSTATS\n"));
  EXPECT_EQ("UNKNOWN COMMAND\n", converse("STATS\n"));
  EXPECT_EQ("UNKNOWN COMMAND\n", converse("VERSIONCOMMANDS\n"));
  EXPECT_EQ("UNKNOWN COMMAND\n", converse("IDSESSION\n"));
  EXPECT_EQ("UNKNOWN COMMAND\n", converse("nEND\n"));  // not in a session
  EXPECT_TRUE(std::regex_match(
      converse("nVERSIONCOMMANDS\n"),
      std::regex(version_pattern +
                 R"(\| COMMANDS: SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION STREAM END SHUTDOWN MULTISCAN FILDES STATS IDSESSION INSTREAM ALLMATCHSCAN\n)")));
}

TEST(Peer, SessionNumbersRepliesAndEndsOnEnd) {
  const std::string got = converse("zIDSESSION\0zPING\0zVERSION\0zEND\0"s);
  std::smatch m;
  ASSERT_TRUE(std::regex_match(got, m, std::regex("1: PONG\\x00" "2: (" + version_pattern + ")\\x00")))
      << got;
}

TEST(Peer, MisplacedCommandsInASessionEndIt) {
  EXPECT_EQ("1: PONG\0" "2: Command invalid inside IDSESSION. ERROR\0"s,
            converse("zIDSESSION\0zPING\0zIDSESSION\0zPING\0"s));
  EXPECT_EQ("1: Command invalid inside IDSESSION. ERROR\n", converse("nIDSESSION\nnRELOAD\n"));
  EXPECT_EQ("1: Only nCMDS\\n and zCMDS\\0 are accepted inside IDSESSION. ERROR\n"
            "1: Error processing command. ERROR\n",
            converse("nIDSESSION\nPING\n"));
}

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
