#include <unistd.h>

#include <gtest/gtest.h>

#include "peer_socket.h"
#include "warden_tie.h"

namespace {

struct answer_t {
  int call;
  vx::ErrorCode code;
  std::string path;
  bool operator==(const answer_t& o) const { return call == o.call && code == o.code && path == o.path; }
};

}  // namespace

TEST(WardenTie, OneResponseAnswersEveryPendingRequestOfItsKind) {
  boost::asio::io_context io;
  peer_socket_t peer;
  auto tie = cl_warden_tie_t::create(io, peer.daemon_fd);
  std::vector<answer_t> answers;
  for (int call = 1; call <= 3; ++call)
    tie->request_sieve([&answers, call](vx::ErrorCode code, const std::string& path) {
      answers.push_back({call, code, path});
    });
  tie->request_courier([&answers](vx::ErrorCode code, const std::string& path) {
    answers.push_back({10, code, path});
  });
  for (int i = 0; i < 3; ++i) {
    auto m = peer.receive(io);
    EXPECT_EQ(vx::Clamd2WardenMessage::GET_SIEVE_REQUEST, m.tag());
    EXPECT_TRUE(m.has_uid());
    EXPECT_EQ(getuid(), m.uid());
  }
  auto courier_request = peer.receive(io);
  EXPECT_EQ(vx::Clamd2WardenMessage::GET_COURIER_REQUEST, courier_request.tag());
  EXPECT_FALSE(courier_request.has_uid());

  vx::Warden2ClamdMessage response;
  response.set_tag(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE);
  response.set_socket_path("/run/sieve.sock");
  peer.send(response);
  // A second answer finds nobody waiting.
  response.set_socket_path("/elsewhere");
  peer.send(response);
  // Both error and path: the error wins and the path is dropped.
  vx::Warden2ClamdMessage courier;
  courier.set_tag(vx::Warden2ClamdMessage::GET_COURIER_RESPONSE);
  courier.set_socket_path("/run/courier.sock");
  courier.mutable_error()->set_code(vx::EC_NOT_INSTALLED);
  peer.send(courier);
  peer_socket_t::run_until(io, [&] { return answers.size() == 4; });

  const std::vector<answer_t> expected = {{1, vx::EC_OK, "/run/sieve.sock"},
                                          {2, vx::EC_OK, "/run/sieve.sock"},
                                          {3, vx::EC_OK, "/run/sieve.sock"},
                                          {10, vx::EC_NOT_INSTALLED, ""}};
  EXPECT_EQ(expected, answers);

  // Neither error nor path: success with an empty path.
  tie->request_sieve([&answers](vx::ErrorCode code, const std::string& path) { answers.push_back({4, code, path}); });
  peer.receive(io);
  vx::Warden2ClamdMessage bare;
  bare.set_tag(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE);
  peer.send(bare);
  peer_socket_t::run_until(io, [&] { return answers.size() == 5; });
  EXPECT_EQ((answer_t{4, vx::EC_OK, ""}), answers.back());
}

TEST(WardenTie, NewRevisionsAreAppliedThenAnnounced) {
  boost::asio::io_context io;
  peer_socket_t peer;
  auto tie = cl_warden_tie_t::create(io, peer.daemon_fd);
  std::vector<uint32_t> applied;
  tie->config_changed.connect([&](const vx::ClamdConfig& c) {
    applied.push_back(c.read_timeout());
    // The stored revision is already the new one when subscribers run.
    EXPECT_EQ(c.read_timeout(), tie->config_revision());
  });
  vx::Warden2ClamdMessage m;
  m.set_tag(vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE);
  for (uint32_t revision : {0u, 9u, 9u, 10u}) {
    m.set_config_revision(revision);
    m.mutable_config()->set_read_timeout(revision);
    peer.send(m);
  }
  EXPECT_EQ(9u, peer.receive(io).config_revision());
  EXPECT_EQ(10u, peer.receive(io).config_revision());
  EXPECT_EQ((std::vector<uint32_t>{9, 10}), applied);

  vx::ClamdAppStat stat;
  stat.mutable_connections()->set_base(0);
  stat.mutable_connections()->set_in(1);
  stat.mutable_connections()->set_out(1);
  tie->notify_stat(stat);
  auto report = peer.receive(io);
  EXPECT_EQ(vx::Clamd2WardenMessage::MY_STAT_NOTIFICATION, report.tag());
  // Zeros are on the wire too: the supervisor's parser requires them.
  EXPECT_TRUE(report.stat().connections().has_base());
  EXPECT_EQ(1u, report.stat().connections().out());
}

TEST(WardenTie, SubscriberFailureEndsTheLink) {
  boost::asio::io_context io;
  peer_socket_t peer;
  auto tie = cl_warden_tie_t::create(io, peer.daemon_fd);
  tie->appinfo_received.connect([](const google::protobuf::RepeatedPtrField<vx::AppInfo>&) {
    throw std::runtime_error("subscriber broke");
  });
  vx::Warden2ClamdMessage m;
  m.set_tag(vx::Warden2ClamdMessage::APPINFO_NOTIFICATION);
  peer.send(m);
  EXPECT_THROW(io.run(), vx::ErrorCode);
}
