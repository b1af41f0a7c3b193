#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "sv_frame.h"
#include "sv_proxy.h"

namespace {

typedef sv_proxy_t::action_t action_t;
typedef sv::ClientMessage client_t;
typedef sv::ServerMessage server_t;

client_t message(client_t::ClientMessageTag tag, std::uint32_t serial = 0, const std::string& path = "") {
  client_t m;
  m.set_tag(tag);
  if (serial != 0) m.set_serial(serial);
  if (!path.empty()) m.set_path(path);
  return m;
}

client_t threat_op(std::uint32_t serial, std::int64_t id, vx::ThreatOp op) {
  client_t m = message(client_t::THREAT_OP_REQUEST, serial);
  m.set_threat_id(id);
  m.set_op(op);
  return m;
}

vx::ScanReport threat_in(const std::string& object, bool nested) {
  vx::ScanReport report;
  report.set_object(object);
  vx::ScanReport* holder = nested ? report.add_item() : &report;
  if (nested) holder->set_object("member");
  vx::Virus* virus = holder->add_virus();
  virus->set_type(vx::SE_KNOWN_VIRUS);
  virus->set_name("Test-Threat");
  return report;
}

TEST(SieveProxy, EachRequestGetsItsAction) {
  const auto P = client_t::PROXY_SCAN_REQUEST;
  const auto R = server_t::PROXY_SCAN_RESPONSE;
  const auto T = server_t::THREATS_OP_RESPONSE;
  const std::string longest = "/" + std::string(sv_proxy_t::max_path_length - 1, 'a');
  client_t op_without_id = threat_op(6, 1, vx::THREAT_OP_IGNORE);
  op_without_id.clear_threat_id();
  const struct {
    const char* name;
    client_t request;
    action_t::kind_t kind;
    server_t::ServerMessageTag tag;  // of a reply
    vx::ErrorCode error;             // in a reply; EC_OK: none
  } cases[] = {
      {"before OPEN_PROXY", message(P, 1, "/tmp/x"), action_t::reply, R, vx::EC_PROTOCOL_VIOLATION},
      {"OPEN_PROXY", message(client_t::OPEN_PROXY), action_t::reply, server_t::PROXY_READY, vx::EC_OK},
      {"scan", message(P, 1, "/tmp/x"), action_t::scan, {}, vx::EC_OK},
      {"longest path", message(P, 2, longest), action_t::scan, {}, vx::EC_OK},
      {"path too long", message(P, 3, longest + "a"), action_t::reply, R, vx::EC_INVALID_ARGUMENT},
      {"no path", message(P, 4), action_t::reply, R, vx::EC_INVALID_ARGUMENT},
      // The file opened would be the one named by the bytes before the NUL.
      {"NUL in path", message(P, 5, std::string("/etc/passwd\0.txt", 16)), action_t::reply, R,
       vx::EC_INVALID_ARGUMENT},
      {"relative path", message(P, 6, "tmp/x"), action_t::reply, R, vx::EC_NOT_ABSOLUTE_PATH},
      {"scan without serial", message(P, 0, "/tmp/x"), action_t::fault, {}, vx::EC_OK},
      {"unknown threat", threat_op(7, 99, vx::THREAT_OP_IGNORE), action_t::reply, T, vx::EC_NO_SUCH_ENTRY},
      {"threat op without id", op_without_id, action_t::reply, T, vx::EC_INVALID_ARGUMENT},
      {"threat op without serial", threat_op(0, 1, vx::THREAT_OP_IGNORE), action_t::fault, {}, vx::EC_OK},
      {"another operation", message(client_t::START_SCAN_REQUEST, 8), action_t::none, {}, vx::EC_OK},
  };
  sv_threat_table_t threats;
  sv_proxy_t proxy(threats);
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
    EXPECT_EQ(action.answer.error().code(), c.error) << c.name;
    EXPECT_EQ(action.answer.has_error(), c.error != vx::EC_OK) << c.name;
  }
  // Bytes that are no message, or one without its tag.
  for (const std::string& body : {std::string("\xff\xff\xff"), std::string("\x10\x01")})
    EXPECT_EQ(proxy.on_frame(reinterpret_cast<const unsigned char*>(body.data()), body.size()).kind, action_t::fault);
}

TEST(SieveProxy, OptionsApplyToTheRequestsThatFollowThem) {
  sv_threat_table_t threats;
  sv_proxy_t proxy(threats);
  proxy.on_message(message(client_t::OPEN_PROXY));
  const auto next_scan = [&] { return proxy.on_message(message(client_t::PROXY_SCAN_REQUEST, 1, "/a")).options; };
  // Before any notification, the record's defaults: archives unopened.
  EXPECT_EQ(next_scan().archive_max_level, 0u);
  client_t notification = message(client_t::PROXY_OPTIONS_NOTIFICATION);
  sv::ProxyOptions* options = notification.mutable_proxy_options();
  options->set_scan_timeout_ms(1500);
  options->set_heuristic_analysis(false);
  options->set_archive_max_level(3);
  options->set_container_max_level(2);
  options->set_max_compression_ratio(40);
  EXPECT_EQ(proxy.on_message(notification).kind, action_t::none);
  const eng_options_t after = next_scan();
  EXPECT_EQ(std::make_tuple(after.scan_timeout_ms, after.heuristic_analysis, after.archive_max_level,
                            after.container_max_level, after.max_compression_ratio),
            std::make_tuple(1500u, false, 3u, 2u, 40u));
}

TEST(SieveProxy, ThreatsAreRegisteredInABoundedTable) {
  sv_threat_table_t threats(2);
  sv_proxy_t proxy(threats);
  vx::ScanReport clean;
  clean.set_object("/clean");
  const server_t c = proxy.scan_response(7, clean);
  EXPECT_EQ(c.serial(), 7u);
  EXPECT_FALSE(c.has_threat_id());

  const std::int64_t first = proxy.scan_response(8, threat_in("/a", false)).threat_id();
  const std::int64_t second = proxy.scan_response(9, threat_in("/b", true)).threat_id();
  EXPECT_EQ(first + 1, second);
  const auto answer = [&](std::int64_t id, vx::ThreatOp op) {
    return proxy.on_message(threat_op(1, id, op)).answer.error().code();
  };
  EXPECT_EQ(answer(first, vx::THREAT_OP_CURE), vx::EC_NOT_IMPLEMENTED);  // and kept
  EXPECT_EQ(answer(first, vx::THREAT_OP_IGNORE), vx::EC_OK);
  EXPECT_EQ(answer(first, vx::THREAT_OP_IGNORE), vx::EC_NO_SUCH_ENTRY);

  // Full: the oldest goes.
  proxy.scan_response(10, threat_in("/c", false));
  proxy.scan_response(11, threat_in("/d", false));
  EXPECT_EQ(threats.size(), 2u);
  EXPECT_EQ(answer(second, vx::THREAT_OP_REPORT), vx::EC_NO_SUCH_ENTRY);
}

TEST(SieveProxy, AReportTooLargeForAFrameKeepsItsThreat) {
  sv_threat_table_t threats;
  sv_proxy_t proxy(threats);
  vx::ScanReport report = threat_in("/big", true);
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
