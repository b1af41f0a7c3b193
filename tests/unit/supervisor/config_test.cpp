#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "config.h"

namespace {

vx::ClamdEndpointConfig* add_endpoint(vx::ClamdConfig& c, const std::string& tag, const std::string& local) {
  auto* e = c.mutable_endpoint()->add_item();
  e->set_tag(tag);
  if (!local.empty()) e->mutable_clamd_socket()->set_local(local);
  return e;
}

const vx::VirusType switchable[] = {vx::SE_UNKNOWN_VIRUS, vx::SE_ADWARE, vx::SE_DIALER,
                                    vx::SE_JOKE,          vx::SE_RISKWARE, vx::SE_HACKTOOL};

}  // namespace

TEST(Config, EndpointValuesWinOverDaemonWideOnes) {
  cl_config_t config;
  EXPECT_EQ(0u, config.read_timeout("any"));
  EXPECT_TRUE(config.tags().empty());

  vx::ClamdConfig c;
  c.set_read_timeout(30000);
  c.set_scan_timeout(60000);
  c.set_heuristic_analysis(true);
  c.set_archive_max_level(4);
  add_endpoint(c, "fast", "/tmp/fast.sock")->set_read_timeout(5000);
  add_endpoint(c, "plain", "/tmp/plain.sock")->set_heuristic_analysis(false);
  // Without a socket a record is ignored entirely.
  add_endpoint(c, "ghost", "")->set_read_timeout(1);
  int changes = 0;
  config.changed.connect([&] { ++changes; });
  config.update(c);
  EXPECT_EQ(1, changes);

  EXPECT_EQ((std::set<std::string>{"fast", "plain"}), config.tags());
  EXPECT_EQ(5000u, config.read_timeout("fast"));
  EXPECT_EQ(60000u, config.scan_timeout("fast"));
  EXPECT_EQ(30000u, config.read_timeout("plain"));
  EXPECT_FALSE(config.heuristic_analysis("plain"));
  EXPECT_TRUE(config.heuristic_analysis("fast"));
  EXPECT_EQ(30000u, config.read_timeout("ghost"));
  EXPECT_EQ(4u, config.archive_max_level("unknown"));
  EXPECT_EQ(0u, config.stream_max_length("fast"));
}

TEST(Config, DetectFlagsComeFromEndpointRecordsOnly) {
  cl_config_t config;
  vx::ClamdConfig c;
  // Daemon-wide flags are the supervisor's business, not ours.
  c.set_detect_jokes(true);
  add_endpoint(c, "mail", "/tmp/mail.sock")->set_detect_adware(true);
  // Repeated tag: the later record replaces the earlier whole, but what the
  // earlier one switched off stays off.
  add_endpoint(c, "web", "/tmp/web.sock")->set_detect_jokes(false);
  auto* web = add_endpoint(c, "web", "/tmp/web2.sock");
  web->set_detect_suspicious(true);
  web->set_detect_adware(true);
  web->set_detect_dialers(true);
  web->set_detect_jokes(true);
  web->set_detect_riskware(true);
  web->set_detect_hacktools(true);
  web->set_read_timeout(7);
  config.update(c);

  EXPECT_TRUE(config.is_detected("mail", vx::SE_ADWARE));
  for (auto type : switchable) {
    if (type != vx::SE_ADWARE) {
      EXPECT_FALSE(config.is_detected("mail", type)) << type;
    }
  }
  EXPECT_TRUE(config.is_detected("mail", vx::SE_KNOWN_VIRUS));
  EXPECT_TRUE(config.is_detected("mail", vx::SE_VIRUS_MODIFICATION));

  // The earlier record left every flag off; the later one cannot turn them
  // back on.
  EXPECT_EQ(7u, config.read_timeout("web"));
  for (auto type : switchable) EXPECT_FALSE(config.is_detected("web", type)) << type;
  std::vector<boost::asio::local::stream_protocol::endpoint> locals;
  config.local_endpoints("web", locals);
  ASSERT_EQ(1u, locals.size());
  EXPECT_EQ("/tmp/web2.sock", locals[0].path());

  // A tag without a record reports everything.
  for (auto type : switchable) EXPECT_TRUE(config.is_detected("other", type));

  // A new configuration starts from scratch.
  config.update(vx::ClamdConfig());
  EXPECT_TRUE(config.is_detected("mail", vx::SE_DIALER));
  EXPECT_TRUE(config.tags().empty());
}

TEST(Config, SocketAddresses) {
  cl_config_t config;
  vx::ClamdConfig c;
  auto* v4 = add_endpoint(c, "v4", "");
  v4->mutable_clamd_socket()->mutable_ip()->set_address("127.0.0.1");
  v4->mutable_clamd_socket()->mutable_ip()->set_port(3310);
  auto* v6 = add_endpoint(c, "v6", "");
  v6->mutable_clamd_socket()->mutable_ip()->set_address("::1");
  v6->mutable_clamd_socket()->mutable_ip()->set_port(0);
  auto* bad = add_endpoint(c, "bad", "");
  bad->mutable_clamd_socket()->mutable_ip()->set_address("localhost");
  bad->mutable_clamd_socket()->mutable_ip()->set_port(1);
  auto* wide = add_endpoint(c, "wide", "");
  wide->mutable_clamd_socket()->mutable_ip()->set_address("127.0.0.1");
  wide->mutable_clamd_socket()->mutable_ip()->set_port(65536 + 80);
  add_endpoint(c, "long", "/tmp/" + std::string(120, 'x'));
  config.update(c);

  std::vector<boost::asio::ip::tcp::endpoint> tcp;
  config.tcp_endpoints("v4", tcp);
  config.tcp_endpoints("v6", tcp);
  config.tcp_endpoints("missing", tcp);
  ASSERT_EQ(2u, tcp.size());
  EXPECT_EQ("127.0.0.1:3310", boost::lexical_cast<std::string>(tcp[0]));
  EXPECT_EQ("[::1]:0", boost::lexical_cast<std::string>(tcp[1]));
  std::vector<boost::asio::local::stream_protocol::endpoint> locals;
  config.local_endpoints("v4", locals);
  EXPECT_TRUE(locals.empty());

  EXPECT_THROW(config.tcp_endpoints("bad", tcp), boost::system::system_error);
  // A port that does not fit is refused rather than silently wrapped to 80.
  EXPECT_THROW(config.tcp_endpoints("wide", tcp), boost::system::system_error);
  EXPECT_THROW(config.local_endpoints("long", locals), boost::system::system_error);
}
