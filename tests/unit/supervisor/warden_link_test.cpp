#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "inventory.h"
#include "run_until.h"
#include "stat_collector.h"
#include "text_message.h"
#include "warden_end.h"
#include "warden_tie.h"

namespace {

// Which request, and the answer it got.
using answer_t = std::tuple<int, vx::ErrorCode, std::string>;

// The daemon's side of the link as the inventory makes it, with Warden
// played by the test.
struct WardenLink : ::testing::Test {
  void send(const std::string& text) { warden.send(parse_text<vx::Warden2ClamdMessage>(text)); }

  warden_end_t warden;
  cl_inventory_t inventory{warden.daemon_fd};
  boost::asio::io_context& io = inventory.io_context();
  cl_warden_tie_t& tie = inventory.warden();
};

}  // namespace

TEST_F(WardenLink, OneResponseAnswersEveryPendingRequestOfItsKind) {
  std::vector<answer_t> answers;
  const auto request = [&](int call) {
    auto callback = [&answers, call](vx::ErrorCode code, const std::string& path) {
      answers.emplace_back(call, code, path);
    };
    if (call < 10) return tie.request_sieve(callback);
    tie.request_courier(callback);
  };
  for (int call : {1, 2, 3, 10}) request(call);
  // Only Sieve runs as the client's user, so only its request names ours.
  const std::string sieve = "tag: GET_SIEVE_REQUEST uid: " + std::to_string(getuid());
  for (const std::string& expected : {sieve, sieve, sieve, std::string("tag: GET_COURIER_REQUEST")})
    EXPECT_EQ(expected, warden.receive(io).ShortDebugString());
  send("tag: GET_SIEVE_RESPONSE socket_path: '/run/sieve.sock'");
  // A second answer finds nobody waiting.
  send("tag: GET_SIEVE_RESPONSE socket_path: '/elsewhere'");
  // Both error and path: the error wins and the path is dropped.
  send("tag: GET_COURIER_RESPONSE socket_path: '/run/courier.sock' error { code: EC_NOT_INSTALLED }");
  ASSERT_TRUE(run_until(io, [&] { return answers.size() == 4; }));
  // Neither error nor path: success with an empty path.
  request(4);
  warden.receive(io);
  send("tag: GET_SIEVE_RESPONSE");
  ASSERT_TRUE(run_until(io, [&] { return answers.size() == 5; }));

  const std::vector<answer_t> expected = {{1, vx::EC_OK, "/run/sieve.sock"}, {2, vx::EC_OK, "/run/sieve.sock"},
                                          {3, vx::EC_OK, "/run/sieve.sock"}, {10, vx::EC_NOT_INSTALLED, ""},
                                          {4, vx::EC_OK, ""}};
  EXPECT_EQ(expected, answers);
}

TEST_F(WardenLink, SubscriberFailureEndsTheLink) {
  auto log = std::make_shared<captured_log_t>();
  cflog::install(log);
  tie.appinfo_received.connect([](const google::protobuf::RepeatedPtrField<vx::AppInfo>&) {
    throw std::runtime_error("subscriber broke");
  });
  send("tag: APPINFO_NOTIFICATION");
  try {
    io.run();
    ADD_FAILURE() << "the loop ended by itself";
  } catch (vx::ErrorCode code) {
    EXPECT_EQ(vx::EC_MONITOR_IPC_ERROR, code);
  }
  EXPECT_TRUE(log->contains("Error: Monitor: subscriber broke"));
}

// The collector is the test's own, without a timer: the inventory's
// reports nothing while its counts stay zero. Timed reports reach Warden
// in the black-box endpoint tests.
TEST_F(WardenLink, StatisticsReportIntervalsWhileAnythingHappened) {
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
              warden.receive(io).ShortDebugString());
  }
}
