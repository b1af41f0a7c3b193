// Wire-level properties of the schemas that peers rely on.
#include <gtest/gtest.h>

#include <google/protobuf/descriptor.h>

#include "annotation.pb.h"
#include "courier_client_ipc.pb.h"
#include "error.pb.h"
#include "log.pb.h"
#include "sieve_client_ipc.pb.h"
#include "warden_clamd_ipc.pb.h"

namespace {

std::string bytes(std::initializer_list<unsigned> values) {
  std::string s;
  for (unsigned v : values) s.push_back(static_cast<char>(v));
  return s;
}

}  // namespace

TEST(Schema, UnknownNumberInRequiredEnumFailsToParse) {
  vx::Error error;
  // code = 200 (not a value), what = "x"
  EXPECT_FALSE(error.ParseFromString(bytes({0x08, 0xC8, 0x01, 0x12, 0x01, 'x'})));
  // code = 7 parses.
  ASSERT_TRUE(error.ParseFromString(bytes({0x08, 0x07})));
  EXPECT_EQ(vx::EC_BAD_MESSAGE_SIZE, error.code());

  // An unknown number in an optional enum reads as absent and survives as
  // an unknown field.
  vx::Log log;
  ASSERT_TRUE(log.ParseFromString(bytes({0x08, 0x01, 0x10, 0x63})));
  EXPECT_FALSE(log.has_facility());
  EXPECT_EQ(vx::Log::DAEMON, log.facility());
  EXPECT_EQ(bytes({0x08, 0x01, 0x10, 0x63}), log.SerializeAsString());
}

TEST(Schema, EndpointWithoutTagRejectsTheWholeMessage) {
  vx::Warden2ClamdMessage message;
  message.set_tag(vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(1);
  auto* endpoint = message.mutable_config()->mutable_endpoint()->add_item();
  endpoint->mutable_clamd_socket()->set_local("/tmp/x");
  const std::string wire = message.SerializePartialAsString();
  vx::Warden2ClamdMessage parsed;
  EXPECT_FALSE(parsed.ParseFromString(wire));
  endpoint->set_tag("main");
  EXPECT_TRUE(parsed.ParseFromString(message.SerializeAsString()));
  EXPECT_EQ("main", parsed.config().endpoint().item(0).tag());
}

TEST(Schema, ProxyOptionsEncodeEveryFieldEvenAtDefaults) {
  sv::ProxyOptions options;
  options.set_scan_timeout_ms(30000);
  options.set_heuristic_analysis(true);
  options.set_packer_max_level(8);
  options.set_archive_max_level(0);
  options.set_mail_max_level(8);
  options.set_container_max_level(8);
  options.set_max_compression_ratio(500);
  const std::string wire = options.SerializeAsString();
  // Field numbers 30..36: two-byte keys.
  EXPECT_NE(std::string::npos, wire.find(bytes({0x88, 0x02, 0x00})));  // archive_max_level = 0
  EXPECT_NE(std::string::npos, wire.find(bytes({0xF8, 0x01, 0x01})));  // heuristic_analysis = true
  sv::ProxyOptions parsed;
  ASSERT_TRUE(parsed.ParseFromString(wire));
  std::vector<const google::protobuf::FieldDescriptor*> fields;
  parsed.GetReflection()->ListFields(parsed, &fields);
  EXPECT_EQ(7u, fields.size());

  // Unset options read as the documented defaults.
  sv::ProxyOptions empty;
  EXPECT_EQ(30000u, empty.scan_timeout_ms());
  EXPECT_EQ(0u, empty.archive_max_level());
  EXPECT_EQ(500u, empty.max_compression_ratio());
}

TEST(Schema, ProxyScanRequestPathHasNoTerminator) {
  sv::ClientMessage message;
  message.set_tag(sv::ClientMessage::PROXY_SCAN_REQUEST);
  message.set_serial(1);
  message.set_path("/a/b");
  EXPECT_EQ(bytes({0x08, 42, 0x10, 0x01, 0x32, 0x04, '/', 'a', '/', 'b'}), message.SerializeAsString());
}

TEST(Schema, CourierScanOptionsDefaultsAndSignedWindow) {
  cr::ScanOptions options;
  ASSERT_TRUE(options.ParseFromString(""));
  EXPECT_EQ(3600000u, options.scan_timeout_ms());
  EXPECT_TRUE(options.heuristic_analysis());
  EXPECT_FALSE(options.cure());
  EXPECT_EQ(8u, options.packer_max_level());
  EXPECT_EQ(8u, options.archive_max_level());
  EXPECT_EQ(8u, options.mail_max_level());
  EXPECT_EQ(8u, options.container_max_level());
  EXPECT_EQ(500u, options.max_compression_ratio());
  EXPECT_EQ(0u, options.min_size_to_scan());
  EXPECT_EQ(UINT64_MAX, options.max_size_to_extract());
  EXPECT_EQ(UINT64_MAX, options.max_size_to_scan());

  cr::ServerMessage message;
  message.set_tag(cr::ServerMessage::ADJUST_WINDOW);
  message.set_window_change(-4096);
  const std::string wire = message.SerializeAsString();
  EXPECT_EQ(2u + 1u + 10u, wire.size());  // tag, key, ten-byte varint
  cr::ServerMessage parsed;
  ASSERT_TRUE(parsed.ParseFromString(wire));
  EXPECT_EQ(-4096, parsed.window_change());
}

TEST(Schema, LexTextsAndRecordOptions) {
  const auto* value = vx::ErrorCode_descriptor()->FindValueByNumber(vx::EC_BAD_MESSAGE_SIZE);
  ASSERT_NE(nullptr, value);
  EXPECT_EQ("Invalid IPC message size", value->options().GetExtension(vx::lex));
  EXPECT_EQ("ClamD", vx::Application_descriptor()->FindValueByNumber(20)->options().GetExtension(vx::lex));

  const auto* config = vx::ClamdConfig::descriptor();
  EXPECT_EQ(20, config->options().GetExtension(vx::app));
  EXPECT_EQ("ClamD", config->options().GetExtension(vx::ini_section));
  EXPECT_EQ(vx::HINT_TIME, config->FindFieldByName("read_timeout")->options().GetExtension(vx::hint));
  EXPECT_EQ(vx::HINT_MAPS, config->FindFieldByName("endpoint")->options().GetExtension(vx::hint));
}
