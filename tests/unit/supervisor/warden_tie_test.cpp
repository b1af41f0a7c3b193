#include <unistd.h>

#include <tuple>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "run_until.h"
#include "warden_end.h"
#include "warden_tie.h"

namespace {

// Which request, and the answer it got.
using answer_t = std::tuple<int, vx::ErrorCode, std::string>;

vx::Warden2ClamdMessage response(vx::Warden2ClamdMessage::MessageTag tag, const char* path, bool error) {
  vx::Warden2ClamdMessage m;
  m.set_tag(tag);
  if (path) m.set_socket_path(path);
  if (error) m.mutable_error()->set_code(vx::EC_NOT_INSTALLED);
  return m;
}

}  // namespace

TEST(WardenTie, OneResponseAnswersEveryPendingRequestOfItsKind) {
  boost::asio::io_context io;
  warden_end_t warden;
  auto tie = cl_warden_tie_t::create(io, warden.daemon_fd);
  std::vector<answer_t> answers;
  const auto request = [&](int call) {
    auto callback = [&answers, call](vx::ErrorCode code, const std::string& path) {
      answers.emplace_back(call, code, path);
    };
    if (call < 10) return tie->request_sieve(callback);
    tie->request_courier(callback);
  };
  for (int call : {1, 2, 3, 10}) request(call);
  for (int call : {1, 2, 3, 10}) {
    const auto m = warden.receive(io);
    // Only Sieve runs as the client's user, so only its request names ours.
    EXPECT_EQ(call < 10 ? vx::Clamd2WardenMessage::GET_SIEVE_REQUEST : vx::Clamd2WardenMessage::GET_COURIER_REQUEST,
              m.tag());
    EXPECT_EQ(call < 10, m.has_uid() && m.uid() == getuid());
  }
  warden.send(response(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE, "/run/sieve.sock", false));
  // A second answer finds nobody waiting.
  warden.send(response(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE, "/elsewhere", false));
  // Both error and path: the error wins and the path is dropped.
  warden.send(response(vx::Warden2ClamdMessage::GET_COURIER_RESPONSE, "/run/courier.sock", true));
  ASSERT_TRUE(run_until(io, [&] { return answers.size() == 4; }));
  // Neither error nor path: success with an empty path.
  request(4);
  warden.receive(io);
  warden.send(response(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE, nullptr, false));
  ASSERT_TRUE(run_until(io, [&] { return answers.size() == 5; }));

  const std::vector<answer_t> expected = {{1, vx::EC_OK, "/run/sieve.sock"},
                                          {2, vx::EC_OK, "/run/sieve.sock"},
                                          {3, vx::EC_OK, "/run/sieve.sock"},
                                          {10, vx::EC_NOT_INSTALLED, ""},
                                          {4, vx::EC_OK, ""}};
  EXPECT_EQ(expected, answers);
}

TEST(WardenTie, RevisionIsStoredBeforeSubscribersRunAndThenAnnounced) {
  boost::asio::io_context io;
  warden_end_t warden;
  auto tie = cl_warden_tie_t::create(io, warden.daemon_fd);
  std::vector<uint32_t> seen;
  tie->config_changed.connect([&](const vx::ClamdConfig&) { seen.push_back(tie->config_revision()); });
  vx::Warden2ClamdMessage m;
  m.set_tag(vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE);
  m.mutable_config();
  m.set_config_revision(9);
  warden.send(m);
  const auto info = warden.receive(io);
  EXPECT_EQ(vx::Clamd2WardenMessage::MY_INFO_NOTIFICATION, info.tag());
  EXPECT_EQ(9u, info.config_revision());
  EXPECT_EQ(std::vector<uint32_t>{9}, seen);
}

TEST(WardenTie, SubscriberFailureEndsTheLink) {
  auto log = std::make_shared<captured_log_t>();
  cflog::install(log);
  boost::asio::io_context io;
  warden_end_t warden;
  auto tie = cl_warden_tie_t::create(io, warden.daemon_fd);
  tie->appinfo_received.connect([](const google::protobuf::RepeatedPtrField<vx::AppInfo>&) {
    throw std::runtime_error("subscriber broke");
  });
  vx::Warden2ClamdMessage m;
  m.set_tag(vx::Warden2ClamdMessage::APPINFO_NOTIFICATION);
  warden.send(m);
  try {
    io.run();
    ADD_FAILURE() << "the loop ended by itself";
  } catch (vx::ErrorCode code) {
    EXPECT_EQ(vx::EC_MONITOR_IPC_ERROR, code);
  }
  EXPECT_TRUE(log->contains("Error: Monitor: subscriber broke"));
}
