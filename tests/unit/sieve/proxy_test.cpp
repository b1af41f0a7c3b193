#include <string>

#include <gtest/gtest.h>

#include "sv_frame.h"
#include "sv_proxy.h"

namespace {

typedef sv_proxy_t::action_t action_t;
typedef sv::ClientMessage client_t;
typedef sv::ServerMessage server_t;

client_t message(client_t::ClientMessageTag tag) {
  client_t m;
  m.set_tag(tag);
  return m;
}

client_t scan_request(std::uint32_t serial, const std::string& path) {
  client_t m = message(client_t::PROXY_SCAN_REQUEST);
  m.set_serial(serial);
  m.set_path(path);
  return m;
}

client_t threat_op(std::uint32_t serial, std::int64_t id, vx::ThreatOp op) {
  client_t m = message(client_t::THREAT_OP_REQUEST);
  m.set_serial(serial);
  m.set_threat_id(id);
  m.set_op(op);
  return m;
}

vx::ScanReport report_with_threat(const std::string& object, bool nested) {
  vx::ScanReport report;
  report.set_object(object);
  vx::ScanReport* holder = nested ? report.add_item() : &report;
  if (nested) holder->set_object("member");
  vx::Virus* virus = holder->add_virus();
  virus->set_type(vx::SE_KNOWN_VIRUS);
  virus->set_name("Test-Threat");
  return report;
}

struct proxy_fixture_t : ::testing::Test {
  sv_threat_table_t threats;
  sv_proxy_t proxy{threats};

  void open() { ASSERT_EQ(proxy.on_message(message(client_t::OPEN_PROXY)).kind, action_t::reply); }
};

typedef proxy_fixture_t SieveProxy;

TEST_F(SieveProxy, EachRequestGetsItsAction) {
  client_t no_serial = message(client_t::PROXY_SCAN_REQUEST);
  no_serial.set_path("/tmp/x");
  client_t no_path = message(client_t::PROXY_SCAN_REQUEST);
  no_path.set_serial(4);
  client_t op_no_serial = threat_op(0, 1, vx::THREAT_OP_IGNORE);
  op_no_serial.clear_serial();
  client_t op_no_id = threat_op(6, 1, vx::THREAT_OP_IGNORE);
  op_no_id.clear_threat_id();
  const std::string longest = "/" + std::string(sv_proxy_t::max_path_length - 1, 'a');

  const struct {
    const char* name;
    client_t request;
    action_t::kind_t kind;
    server_t::ServerMessageTag tag;  // of the reply
    vx::ErrorCode error;             // in the reply; EC_OK: none
  } cases[] = {
      {"clean request", scan_request(1, "/tmp/x"), action_t::scan, {}, vx::EC_OK},
      {"longest path", scan_request(2, longest), action_t::scan, {}, vx::EC_OK},
      {"path too long", scan_request(3, longest + "a"), action_t::reply, server_t::PROXY_SCAN_RESPONSE,
       vx::EC_INVALID_ARGUMENT},
      {"no path", no_path, action_t::reply, server_t::PROXY_SCAN_RESPONSE, vx::EC_INVALID_ARGUMENT},
      {"empty path", scan_request(5, ""), action_t::reply, server_t::PROXY_SCAN_RESPONSE, vx::EC_INVALID_ARGUMENT},
      {"NUL in path", scan_request(6, std::string("/etc/passwd\0.txt", 16)), action_t::reply,
       server_t::PROXY_SCAN_RESPONSE, vx::EC_INVALID_ARGUMENT},
      {"relative path", scan_request(7, "tmp/x"), action_t::reply, server_t::PROXY_SCAN_RESPONSE,
       vx::EC_NOT_ABSOLUTE_PATH},
      {"scan without serial", no_serial, action_t::fault, {}, vx::EC_OK},
      {"unknown threat", threat_op(5, 99, vx::THREAT_OP_IGNORE), action_t::reply, server_t::THREATS_OP_RESPONSE,
       vx::EC_NO_SUCH_ENTRY},
      {"threat op without id", op_no_id, action_t::reply, server_t::THREATS_OP_RESPONSE, vx::EC_INVALID_ARGUMENT},
      {"threat op without serial", op_no_serial, action_t::fault, {}, vx::EC_OK},
      {"another operation", message(client_t::START_SCAN_REQUEST), action_t::none, {}, vx::EC_OK},
      {"close request", message(client_t::CLOSE_PROXY_REQUEST), action_t::none, {}, vx::EC_OK},
  };
  open();
  for (const auto& c : cases) {
    const action_t action = proxy.on_message(c.request);
    EXPECT_EQ(action.kind, c.kind) << c.name;
    if (action.kind == action_t::scan) {
      EXPECT_EQ(action.serial, c.request.serial()) << c.name;
      EXPECT_EQ(action.path, c.request.path()) << c.name;
    }
    if (action.kind != action_t::reply) continue;
    EXPECT_EQ(action.answer.tag(), c.tag) << c.name;
    EXPECT_EQ(action.answer.serial(), c.request.serial()) << c.name;
    EXPECT_EQ(action.answer.has_error(), c.error != vx::EC_OK) << c.name;
    EXPECT_EQ(action.answer.error().code(), c.error) << c.name;
    EXPECT_FALSE(action.answer.has_scan_report()) << c.name;
  }
}

TEST_F(SieveProxy, FramesThatAreNotMessagesEndTheSession) {
  const std::string garbage = "\xff\xff\xff";
  client_t serial_only;
  serial_only.set_serial(1);  // no tag
  const std::string untagged = serial_only.SerializePartialAsString();
  const std::string good = message(client_t::OPEN_PROXY).SerializeAsString();
  const auto feed = [this](const std::string& body) {
    return proxy.on_frame(reinterpret_cast<const unsigned char*>(body.data()), body.size());
  };
  EXPECT_EQ(feed(garbage).kind, action_t::fault);
  EXPECT_EQ(feed(untagged).kind, action_t::fault);
  EXPECT_FALSE(proxy.is_open());
  EXPECT_EQ(feed(good).kind, action_t::reply);
  EXPECT_TRUE(proxy.is_open());
}

TEST_F(SieveProxy, ScansWaitForTheProxyToBeOpened) {
  const action_t early = proxy.on_message(scan_request(0, "/tmp/x"));
  ASSERT_EQ(early.kind, action_t::reply);
  EXPECT_EQ(early.answer.error().code(), vx::EC_PROTOCOL_VIOLATION);
  const action_t ready = proxy.on_message(message(client_t::OPEN_PROXY));
  EXPECT_EQ(ready.answer.tag(), server_t::PROXY_READY);
  EXPECT_EQ(proxy.on_message(scan_request(1, "/tmp/x")).kind, action_t::scan);
}

TEST_F(SieveProxy, OptionsApplyToTheRequestsThatFollowThem) {
  open();
  // Before any notification: the record's defaults, archives unopened.
  const action_t before = proxy.on_message(scan_request(0, "/a"));
  EXPECT_EQ(before.options.archive_max_level, 0u);
  EXPECT_EQ(before.options.scan_timeout_ms, 30000u);

  client_t notification = message(client_t::PROXY_OPTIONS_NOTIFICATION);
  sv::ProxyOptions* options = notification.mutable_proxy_options();
  options->set_scan_timeout_ms(1500);
  options->set_heuristic_analysis(false);
  options->set_packer_max_level(1);
  options->set_archive_max_level(3);
  options->set_mail_max_level(1);
  options->set_container_max_level(2);
  options->set_max_compression_ratio(40);
  EXPECT_EQ(proxy.on_message(notification).kind, action_t::none);
  const action_t after = proxy.on_message(scan_request(1, "/a"));
  EXPECT_EQ(after.options.scan_timeout_ms, 1500u);
  EXPECT_FALSE(after.options.heuristic_analysis);
  EXPECT_EQ(after.options.archive_max_level, 3u);
  EXPECT_EQ(after.options.container_max_level, 2u);
  EXPECT_EQ(after.options.max_compression_ratio, 40u);
  EXPECT_EQ(before.options.archive_max_level, 0u);

  // A notification without the record goes back to the defaults.
  proxy.on_message(message(client_t::PROXY_OPTIONS_NOTIFICATION));
  EXPECT_EQ(proxy.on_message(scan_request(2, "/a")).options.archive_max_level, 0u);
}

TEST_F(SieveProxy, ThreatsAreRegisteredAndCanBeIgnoredOnce) {
  open();
  vx::ScanReport clean;
  clean.set_object("/clean");
  const server_t c = proxy.scan_response(7, clean);
  EXPECT_EQ(c.tag(), server_t::PROXY_SCAN_RESPONSE);
  EXPECT_EQ(c.serial(), 7u);
  EXPECT_FALSE(c.has_threat_id());
  EXPECT_EQ(c.scan_report().object(), "/clean");

  const server_t first = proxy.scan_response(8, report_with_threat("/top", false));
  const server_t second = proxy.scan_response(9, report_with_threat("/archive", true));
  ASSERT_TRUE(first.has_threat_id());
  ASSERT_TRUE(second.has_threat_id());
  EXPECT_EQ(first.threat_id() + 1, second.threat_id());
  EXPECT_EQ(second.scan_report().item(0).virus(0).name(), "Test-Threat");

  const action_t cure = proxy.on_message(threat_op(0, first.threat_id(), vx::THREAT_OP_CURE));
  EXPECT_EQ(cure.answer.error().code(), vx::EC_NOT_IMPLEMENTED);
  const action_t ignored = proxy.on_message(threat_op(1, first.threat_id(), vx::THREAT_OP_IGNORE));
  EXPECT_EQ(ignored.answer.tag(), server_t::THREATS_OP_RESPONSE);
  EXPECT_EQ(ignored.answer.serial(), 1u);
  EXPECT_FALSE(ignored.answer.has_error());
  const action_t again = proxy.on_message(threat_op(2, first.threat_id(), vx::THREAT_OP_IGNORE));
  EXPECT_EQ(again.answer.error().code(), vx::EC_NO_SUCH_ENTRY);
  EXPECT_EQ(threats.size(), 1u);
}

TEST(SieveThreatTable, TheOldestThreatIsForgottenWhenFull) {
  sv_threat_table_t table(2);
  const auto a = table.add(report_with_threat("/a", false));
  const auto b = table.add(report_with_threat("/b", false));
  const auto c = table.add(report_with_threat("/c", true));
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.apply(a, vx::THREAT_OP_REPORT), vx::EC_NO_SUCH_ENTRY);
  sv_threat_table_t::threat_t found;
  EXPECT_EQ(table.apply(c, vx::THREAT_OP_REPORT, &found), vx::EC_OK);
  EXPECT_EQ(found.object, "/c");
  EXPECT_EQ(found.name, "Test-Threat");
  EXPECT_EQ(table.apply(b, vx::THREAT_OP_IGNORE), vx::EC_OK);
  EXPECT_EQ(table.size(), 1u);
}

TEST_F(SieveProxy, AReportTooLargeForAFrameKeepsItsThreat) {
  vx::ScanReport report = report_with_threat("/big", true);
  const std::string megabyte(1 << 20, 'x');
  for (int i = 0; i <= 64; ++i) report.add_log(megabyte);
  const server_t response = proxy.scan_response(3, std::move(report));
  EXPECT_LE(response.ByteSizeLong(), sv_max_message_size);
  EXPECT_EQ(response.scan_report().object(), "/big");
  EXPECT_EQ(response.scan_report().error(), vx::SE_REPORT_SIZE_LIMIT);
  ASSERT_EQ(response.scan_report().virus_size(), 1);
  EXPECT_EQ(response.scan_report().virus(0).name(), "Test-Threat");
  EXPECT_TRUE(response.has_threat_id());
}

}  // namespace
