#include <gtest/gtest.h>

#include <boost/lexical_cast.hpp>

#include "config.h"
#include "text_message.h"
#include "thrown.h"

namespace {

using local_endpoints_t = std::vector<boost::asio::local::stream_protocol::endpoint>;
using tcp_endpoints_t = std::vector<boost::asio::ip::tcp::endpoint>;

// An endpoint record of the text form, on a Unix socket unless it says otherwise.
std::string item(const std::string& tag, const std::string& rest, const std::string& path = "/tmp/s.sock") {
  return "item { tag: '" + tag + "' " + (path.empty() ? "" : "clamd_socket { local: '" + path + "' } ") + rest + " } ";
}
std::string tcp_item(const std::string& tag, const std::string& address, std::uint32_t port) {
  return item(tag, "clamd_socket { ip { address: '" + address + "' port: " + std::to_string(port) + " } }", "");
}

void update(cl_config_t& config, const std::string& text) { config.update(parse_text<vx::ClamdConfig>(text)); }

}  // namespace

TEST(Config, EndpointRecordsWinOverDaemonWideValues) {
  cl_config_t config;
  int changes = 0;
  config.changed.connect([&] { ++changes; });
  // Without a socket a record is ignored entirely.
  update(config, "read_timeout: 30000 heuristic_analysis: true endpoint { " + item("fast", "read_timeout: 5000") +
                     item("plain", "heuristic_analysis: false") + item("ghost", "read_timeout: 1", "") + "}");
  EXPECT_EQ(1, changes);
  EXPECT_EQ((std::set<std::string>{"fast", "plain"}), config.tags());
  std::string effective;
  for (const char* tag : {"fast", "plain", "ghost", "unknown"})
    effective += std::to_string(config.read_timeout(tag)) + (config.heuristic_analysis(tag) ? " on, " : " off, ");
  EXPECT_EQ("5000 on, 30000 off, 30000 on, 30000 on, ", effective);

  // Detect switches come from endpoint records only: daemon-wide ones are the
  // supervisor's business. Repeated tag: the later record replaces the earlier
  // whole, but what the earlier one switched off stays off.
  update(config, "detect_jokes: true endpoint { " + item("mail", "detect_adware: true") + item("web", "") +
                     item("web", "detect_adware: true read_timeout: 7", "/tmp/web2.sock") + "}");
  for (auto type :
       {vx::SE_UNKNOWN_VIRUS, vx::SE_ADWARE, vx::SE_DIALER, vx::SE_JOKE, vx::SE_RISKWARE, vx::SE_HACKTOOL}) {
    EXPECT_EQ(type == vx::SE_ADWARE, config.is_detected("mail", type)) << type;
    EXPECT_FALSE(config.is_detected("web", type)) << type;
    // A tag without a record reports everything.
    EXPECT_TRUE(config.is_detected("other", type)) << type;
  }
  for (auto type : {vx::SE_KNOWN_VIRUS, vx::SE_VIRUS_MODIFICATION}) EXPECT_TRUE(config.is_detected("mail", type));
  EXPECT_EQ(7u, config.read_timeout("web"));
  local_endpoints_t locals;
  config.local_endpoints("web", locals);
  EXPECT_EQ(local_endpoints_t{{"/tmp/web2.sock"}}, locals);

  // A new configuration starts from scratch.
  config.update(vx::ClamdConfig());
  EXPECT_TRUE(config.is_detected("mail", vx::SE_DIALER));
  EXPECT_TRUE(config.tags().empty());
}

TEST(Config, SocketAddresses) {
  cl_config_t config;
  const std::string too_long = "/tmp/" + std::string(103, 'x');
  // A port that does not fit is refused rather than silently wrapped to 80.
  update(config, "endpoint { " + tcp_item("v4", "127.0.0.1", 3310) + tcp_item("v6", "::1", 0) +
                     tcp_item("name", "localhost", 1) + tcp_item("wide", "127.0.0.1", 65536 + 80) +
                     item("long", "", too_long) + item("longest", "", too_long.substr(1)) + "}");
  tcp_endpoints_t tcp;
  for (const char* tag : {"v4", "v6", "long", "missing"}) config.tcp_endpoints(tag, tcp);
  std::string addresses;
  for (const auto& e : tcp) addresses += boost::lexical_cast<std::string>(e) + " ";
  EXPECT_EQ("127.0.0.1:3310 [::1]:0 ", addresses);
  local_endpoints_t locals;
  for (const char* tag : {"v4", "longest"}) config.local_endpoints(tag, locals);
  ASSERT_EQ(1u, locals.size());
  EXPECT_EQ(107u, locals[0].path().size());

  EXPECT_EQ("endpoint name: address localhost: Invalid argument [system:22]",
            thrown([&] { config.tcp_endpoints("name", tcp); }));
  EXPECT_EQ("endpoint wide: port 65616: Invalid argument [vx.Error:60]",
            thrown([&] { config.tcp_endpoints("wide", tcp); }));
  EXPECT_EQ("endpoint long: " + too_long + ": File name too long [generic:36]",
            thrown([&] { config.local_endpoints("long", locals); }));
}
