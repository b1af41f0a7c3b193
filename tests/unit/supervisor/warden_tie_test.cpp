#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "run_until.h"
#include "text_message.h"
#include "warden_end.h"
#include "warden_tie.h"

namespace {

// Which request, and the answer it got.
using answer_t = std::tuple<int, vx::ErrorCode, std::string>;

struct WardenTie : ::testing::Test {
  void send(const std::string& text) { warden.send(parse_text<vx::Warden2ClamdMessage>(text)); }

  boost::asio::io_context io;
  warden_end_t warden;
  std::shared_ptr<cl_warden_tie_t> tie = cl_warden_tie_t::create(io, warden.daemon_fd);
};

}  // namespace

TEST_F(WardenTie, OneResponseAnswersEveryPendingRequestOfItsKind) {
  std::vector<answer_t> answers;
  const auto request = [&](int call) {
    auto callback = [&answers, call](vx::ErrorCode code, const std::string& path) {
      answers.emplace_back(call, code, path);
    };
    if (call < 10) return tie->request_sieve(callback);
    tie->request_courier(callback);
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

  const std::vector<answer_t> expected = {{1, vx::EC_OK, "/run/sieve.sock"},
                                          {2, vx::EC_OK, "/run/sieve.sock"},
                                          {3, vx::EC_OK, "/run/sieve.sock"},
                                          {10, vx::EC_NOT_INSTALLED, ""},
                                          {4, vx::EC_OK, ""}};
  EXPECT_EQ(expected, answers);
}

TEST_F(WardenTie, SubscriberFailureEndsTheLink) {
  auto log = std::make_shared<captured_log_t>();
  cflog::install(log);
  tie->appinfo_received.connect([](const google::protobuf::RepeatedPtrField<vx::AppInfo>&) {
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
