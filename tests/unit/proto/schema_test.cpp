// Wire-level properties of the schemas that peers built elsewhere rely on.
#include <gtest/gtest.h>

#include "courier_client_ipc.pb.h"
#include "error.pb.h"
#include "log.pb.h"
#include "sieve_client_ipc.pb.h"
#include "text_message.h"
#include "warden_clamd_ipc.pb.h"

namespace {

std::string hex(const std::string& raw) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : raw) s += {digits[c >> 4], digits[c & 15]};
  return s;
}

std::string bytes(std::initializer_list<unsigned> values) {
  std::string s;
  for (unsigned v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace

// Field numbers and types pinned by the bytes they put on the wire.
TEST(Schema, WireBytes) {
  // The path goes without a terminator; every option is sent, even one at
  // its default; a shrinking window is a negative number, not a huge one.
  const auto scan = parse_text<sv::ClientMessage>("tag: PROXY_SCAN_REQUEST serial: 1 path: '/a/b'");
  const auto options = parse_text<sv::ProxyOptions>(
      "scan_timeout_ms: 30000 heuristic_analysis: true packer_max_level: 8 archive_max_level: 0 mail_max_level: 8 "
      "container_max_level: 8 max_compression_ratio: 500");
  const auto window = parse_text<cr::ServerMessage>("tag: ADJUST_WINDOW window_change: -4096");

  EXPECT_EQ("082a1001" "32042f612f62", hex(scan.SerializeAsString()));
  EXPECT_EQ("f001b0ea01" "f80101" "800208" "880200" "900208" "980208" "a002f403", hex(options.SerializeAsString()));
  EXPECT_EQ("0805" "3080e0ffffffffffffff01", hex(window.SerializeAsString()));
}

TEST(Schema, UnknownEnumNumbers) {
  // In a required field the whole message fails: code = 200, what = "x".
  vx::Error error;
  EXPECT_FALSE(error.ParseFromString(bytes({0x08, 0xC8, 0x01, 0x12, 0x01, 'x'})));
  // In an optional one it reads as absent and survives as an unknown field.
  vx::Log log;
  ASSERT_TRUE(log.ParseFromString(bytes({0x08, 0x01, 0x10, 0x63})));
  EXPECT_FALSE(log.has_facility());
  EXPECT_EQ(bytes({0x08, 0x01, 0x10, 0x63}), log.SerializeAsString());
}

TEST(Schema, EndpointWithoutTagRejectsTheWholeMessage) {
  auto message = parse_text<vx::Warden2ClamdMessage>(
      "tag: GET_CONFIG_RESPONSE config_revision: 1 "
      "config { endpoint { item { tag: 'main' clamd_socket { local: 'x' } } } }");
  vx::Warden2ClamdMessage parsed;
  EXPECT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
  message.mutable_config()->mutable_endpoint()->mutable_item(0)->clear_tag();
  EXPECT_FALSE(parsed.ParseFromString(message.SerializePartialAsString()));
}
