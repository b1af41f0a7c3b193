#include <tuple>

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

void add_tcp(vx::ClamdConfig& c, const std::string& tag, const std::string& address, uint32_t port) {
  auto* ip = add_endpoint(c, tag, "")->mutable_clamd_socket()->mutable_ip();
  ip->set_address(address);
  ip->set_port(port);
}

const vx::VirusType switchable[] = {vx::SE_UNKNOWN_VIRUS, vx::SE_ADWARE, vx::SE_DIALER,
                                    vx::SE_JOKE,          vx::SE_RISKWARE, vx::SE_HACKTOOL};

}  // namespace

TEST(Config, EndpointValuesWinOverDaemonWideOnes) {
  cl_config_t config;
  vx::ClamdConfig c;
  c.set_read_timeout(30000);
  c.set_heuristic_analysis(true);
  add_endpoint(c, "fast", "/tmp/fast.sock")->set_read_timeout(5000);
  add_endpoint(c, "plain", "/tmp/plain.sock")->set_heuristic_analysis(false);
  // Without a socket a record is ignored entirely.
  add_endpoint(c, "ghost", "")->set_read_timeout(1);
  int changes = 0;
  config.changed.connect([&] { ++changes; });
  config.update(c);
  EXPECT_EQ(1, changes);
  EXPECT_EQ((std::set<std::string>{"fast", "plain"}), config.tags());
  const std::tuple<const char*, uint32_t, bool> rows[] = {
      {"fast", 5000, true}, {"plain", 30000, false}, {"ghost", 30000, true}, {"unknown", 30000, true}};
  for (const auto& row : rows) {
    EXPECT_EQ(std::get<1>(row), config.read_timeout(std::get<0>(row))) << std::get<0>(row);
    EXPECT_EQ(std::get<2>(row), config.heuristic_analysis(std::get<0>(row))) << std::get<0>(row);
  }
}

TEST(Config, DetectSwitchesComeFromEndpointRecordsOnly) {
  cl_config_t config;
  vx::ClamdConfig c;
  // Daemon-wide switches are the supervisor's business, not ours.
  c.set_detect_jokes(true);
  add_endpoint(c, "mail", "/tmp/mail.sock")->set_detect_adware(true);
  // Repeated tag: the later record replaces the earlier whole, but what the
  // earlier one switched off stays off.
  add_endpoint(c, "web", "/tmp/web.sock");
  auto* web = add_endpoint(c, "web", "/tmp/web2.sock");
  web->set_detect_adware(true);
  web->set_read_timeout(7);
  config.update(c);

  for (auto type : switchable) {
    EXPECT_EQ(type == vx::SE_ADWARE, config.is_detected("mail", type)) << type;
    EXPECT_FALSE(config.is_detected("web", type)) << type;
    // A tag without a record reports everything.
    EXPECT_TRUE(config.is_detected("other", type)) << type;
  }
  for (auto type : {vx::SE_KNOWN_VIRUS, vx::SE_VIRUS_MODIFICATION}) EXPECT_TRUE(config.is_detected("mail", type));
  EXPECT_EQ(7u, config.read_timeout("web"));
  std::vector<boost::asio::local::stream_protocol::endpoint> locals;
  config.local_endpoints("web", locals);
  ASSERT_EQ(1u, locals.size());
  EXPECT_EQ("/tmp/web2.sock", locals[0].path());

  // A new configuration starts from scratch.
  config.update(vx::ClamdConfig());
  EXPECT_TRUE(config.is_detected("mail", vx::SE_DIALER));
  EXPECT_TRUE(config.tags().empty());
}

TEST(Config, SocketAddresses) {
  cl_config_t config;
  vx::ClamdConfig c;
  add_tcp(c, "v4", "127.0.0.1", 3310);
  add_tcp(c, "v6", "::1", 0);
  add_tcp(c, "name", "localhost", 1);
  // A port that does not fit is refused rather than silently wrapped to 80.
  add_tcp(c, "wide", "127.0.0.1", 65536 + 80);
  add_endpoint(c, "long", "/tmp/" + std::string(103, 'x'));
  add_endpoint(c, "longest", "/tmp/" + std::string(102, 'x'));
  config.update(c);

  std::vector<boost::asio::ip::tcp::endpoint> tcp;
  for (const char* tag : {"v4", "v6", "long", "missing"}) config.tcp_endpoints(tag, tcp);
  ASSERT_EQ(2u, tcp.size());
  EXPECT_EQ("127.0.0.1:3310", boost::lexical_cast<std::string>(tcp[0]));
  EXPECT_EQ("[::1]:0", boost::lexical_cast<std::string>(tcp[1]));
  std::vector<boost::asio::local::stream_protocol::endpoint> locals;
  for (const char* tag : {"v4", "longest"}) config.local_endpoints(tag, locals);
  ASSERT_EQ(1u, locals.size());
  EXPECT_EQ(107u, locals[0].path().size());

  const auto error_of = [&](bool local, const char* tag) -> std::string {
    try {
      local ? config.local_endpoints(tag, locals) : config.tcp_endpoints(tag, tcp);
    } catch (const boost::system::system_error& e) {
      return e.what();
    }
    return "no error";
  };
  EXPECT_EQ("endpoint name: address localhost: Invalid argument [system:22]", error_of(false, "name"));
  EXPECT_EQ("endpoint wide: port 65616: Invalid argument [vx.Error:60]", error_of(false, "wide"));
  EXPECT_EQ("endpoint long: /tmp/" + std::string(103, 'x') + ": File name too long [generic:36]",
            error_of(true, "long"));
}
