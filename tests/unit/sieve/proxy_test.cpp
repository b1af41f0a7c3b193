#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "svc_frame.h"
#include "sv_proxy.h"
#include "text_message.h"

namespace {

typedef sv_proxy_t::action_t action_t;

// "scan serial path", "fault", "none", or a reply's tag, serial and error.
std::string outcome(const action_t& a) {
  if (a.kind == action_t::scan) return "scan " + std::to_string(a.serial) + " " + a.path;
  if (a.kind != action_t::reply) return a.kind == action_t::fault ? "fault" : "none";
  return sv::ServerMessage::ServerMessageTag_Name(a.answer.tag()) + " " + std::to_string(a.answer.serial()) +
         (a.answer.has_error() ? " " + vx::ErrorCode_Name(a.answer.error().code()) : "");
}

vx::ScanReport threat_in(const std::string& object, bool nested = false) {
  const std::string virus = "virus { type: SE_KNOWN_VIRUS name: 'T' }";
  return parse_text<vx::ScanReport>("object: '" + object + "' " + (nested ? "item { object: 'm' " + virus + " }" : virus));
}

struct SieveProxy : ::testing::Test {
  action_t request(const std::string& text) { return proxy.on_message(parse_text<sv::ClientMessage>(text)); }
  sv_threat_table_t threats{2};
  sv_proxy_t proxy{threats};
};

TEST_F(SieveProxy, EachRequestGetsItsAction) {
  const std::string longest = "/" + std::string(sv_proxy_t::max_path_length - 1, 'a');
  const std::string scan = "tag: PROXY_SCAN_REQUEST ", op = "tag: THREAT_OP_REQUEST ";
  const std::pair<std::string, std::string> cases[] = {
      {scan + "serial: 1 path: '/x'", "PROXY_SCAN_RESPONSE 1 EC_PROTOCOL_VIOLATION"},  // before OPEN_PROXY
      {"tag: OPEN_PROXY", "PROXY_READY 0"},
      {scan + "serial: 1 path: '/x'", "scan 1 /x"},
      {scan + "serial: 2 path: '" + longest + "'", "scan 2 " + longest},
      {scan + "serial: 3 path: '" + longest + "a'", "PROXY_SCAN_RESPONSE 3 EC_INVALID_ARGUMENT"},
      {scan + "serial: 4", "PROXY_SCAN_RESPONSE 4 EC_INVALID_ARGUMENT"},
      // The file opened would be the one named by the bytes before the NUL.
      {scan + "serial: 5 path: '/etc/passwd\\000.txt'", "PROXY_SCAN_RESPONSE 5 EC_INVALID_ARGUMENT"},
      {scan + "serial: 6 path: 'tmp/x'", "PROXY_SCAN_RESPONSE 6 EC_NOT_ABSOLUTE_PATH"},
      {scan + "path: '/x'", "fault"},
      {op + "serial: 7 threat_id: 99 op: THREAT_OP_IGNORE", "THREATS_OP_RESPONSE 7 EC_NO_SUCH_ENTRY"},
      {op + "serial: 8 op: THREAT_OP_IGNORE", "THREATS_OP_RESPONSE 8 EC_INVALID_ARGUMENT"},
      {op + "threat_id: 1 op: THREAT_OP_IGNORE", "fault"},
      {"tag: START_SCAN_REQUEST serial: 9", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, outcome(request(c.first))) << c.first.substr(0, 60);
  // Bytes that are no message, or one without its tag.
  for (const std::string& body : {std::string("\xff\xff\xff"), std::string("\x10\x01")})
    EXPECT_EQ("fault", outcome(proxy.on_frame(reinterpret_cast<const unsigned char*>(body.data()), body.size())));

  // Until the client sends its options, the record's defaults: archives unopened.
  EXPECT_EQ(0u, request(scan + "serial: 1 path: '/a'").options.archive_max_level);
  EXPECT_EQ("none", outcome(request("tag: PROXY_OPTIONS_NOTIFICATION proxy_options { scan_timeout_ms: 1500 "
                                    "heuristic_analysis: false archive_max_level: 3 container_max_level: 2 "
                                    "max_compression_ratio: 40 }")));
  const eng_options_t o = request(scan + "serial: 1 path: '/a'").options;
  EXPECT_EQ(std::make_tuple(1500u, false, 3u, 2u, 40u),
            std::make_tuple(o.scan_timeout_ms, o.heuristic_analysis, o.archive_max_level, o.container_max_level,
                            o.max_compression_ratio));
}

TEST_F(SieveProxy, ThreatsAreRegisteredInABoundedTable) {
  EXPECT_EQ("tag: PROXY_SCAN_RESPONSE serial: 7 scan_report { object: \"/clean\" }",
            proxy.scan_response(7, parse_text<vx::ScanReport>("object: '/clean'")).ShortDebugString());
  const std::int64_t first = proxy.scan_response(8, threat_in("/a")).threat_id();
  const std::int64_t second = proxy.scan_response(9, threat_in("/b", true)).threat_id();
  EXPECT_EQ(first + 1, second);
  const auto answer = [&](std::int64_t id, const std::string& op) {
    return outcome(request("tag: THREAT_OP_REQUEST serial: 1 threat_id: " + std::to_string(id) + " op: " + op));
  };
  EXPECT_EQ("THREATS_OP_RESPONSE 1 EC_NOT_IMPLEMENTED", answer(first, "THREAT_OP_CURE"));  // and kept
  EXPECT_EQ("THREATS_OP_RESPONSE 1", answer(first, "THREAT_OP_IGNORE"));
  EXPECT_EQ("THREATS_OP_RESPONSE 1 EC_NO_SUCH_ENTRY", answer(first, "THREAT_OP_IGNORE"));

  // Full: the oldest goes.
  proxy.scan_response(10, threat_in("/c"));
  proxy.scan_response(11, threat_in("/d"));
  EXPECT_EQ(threats.size(), 2u);
  EXPECT_EQ("THREATS_OP_RESPONSE 1 EC_NO_SUCH_ENTRY", answer(second, "THREAT_OP_REPORT"));

  // A report too large for a frame is cut down but keeps its threat.
  vx::ScanReport report = threat_in("/big", true);
  const std::string megabyte(1 << 20, 'x');
  for (int i = 0; i <= 64; ++i) report.add_log(megabyte);
  const sv::ServerMessage response = proxy.scan_response(3, std::move(report));
  EXPECT_LE(response.ByteSizeLong(), svc_max_message_size);
  EXPECT_TRUE(response.has_threat_id());
  EXPECT_EQ("object: \"/big\" virus { type: SE_KNOWN_VIRUS name: \"T\" } error: SE_REPORT_SIZE_LIMIT",
            response.scan_report().ShortDebugString());
}

}  // namespace
