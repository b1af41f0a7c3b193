// Wire-level properties of the schemas that peers built elsewhere rely on.
#include <gtest/gtest.h>

#include "courier_client_ipc.pb.h"
#include "error.pb.h"
#include "log.pb.h"
#include "sieve_client_ipc.pb.h"
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
  sv::ClientMessage scan;
  scan.set_tag(sv::ClientMessage::PROXY_SCAN_REQUEST);
  scan.set_serial(1);
  scan.set_path("/a/b");  // no terminator
  // Every option is sent, even one at its default.
  sv::ProxyOptions options;
  options.set_scan_timeout_ms(30000);
  options.set_heuristic_analysis(true);
  options.set_packer_max_level(8);
  options.set_archive_max_level(0);
  options.set_mail_max_level(8);
  options.set_container_max_level(8);
  options.set_max_compression_ratio(500);
  // A shrinking window is a negative number, not a huge one.
  cr::ServerMessage window;
  window.set_tag(cr::ServerMessage::ADJUST_WINDOW);
  window.set_window_change(-4096);

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
  vx::Warden2ClamdMessage message;
  message.set_tag(vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(1);
  auto* endpoint = message.mutable_config()->mutable_endpoint()->add_item();
  endpoint->mutable_clamd_socket()->set_local("/tmp/x");
  vx::Warden2ClamdMessage parsed;
  EXPECT_FALSE(parsed.ParseFromString(message.SerializePartialAsString()));
  endpoint->set_tag("main");
  EXPECT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
}
