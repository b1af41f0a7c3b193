#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "log.pb.h"
#include "wd_ini_values.h"

namespace {

constexpr std::uint64_t u32 = std::numeric_limits<std::uint32_t>::max();

// The message of the error a parse throws, or "" when it succeeds.
template <class F>
std::string error_of(F f) {
  try {
    f();
  } catch (const wd_value_error_t& e) {
    return e.what();
  }
  return "";
}

TEST(IniValues, TimesInEveryUnit) {
  EXPECT_EQ(wd_parse_time("250", u32), 250u);
  EXPECT_EQ(wd_parse_time("500ms", u32), 500u);
  EXPECT_EQ(wd_parse_time("30s", u32), 30000u);
  EXPECT_EQ(wd_parse_time("30 S", u32), 30000u);
  EXPECT_EQ(wd_parse_time("2m", u32), 120000u);
  EXPECT_EQ(wd_parse_time("1h", u32), 3600000u);
  EXPECT_EQ(wd_parse_time("0", u32), 0u);
  EXPECT_EQ(wd_parse_time("4294967295", u32), u32);

  EXPECT_EQ(error_of([] { wd_parse_time("30x", u32); }),
            "bad time unit 'x' in '30x': use a whole number with ms, s, m or h (a bare number is milliseconds)");
  EXPECT_EQ(error_of([] { wd_parse_time("1194h", u32); }), "'1194h' is too large (at most 4294967295 ms)");
  EXPECT_EQ(error_of([] { wd_parse_time("4294967296", u32); }), "'4294967296' is too large (at most 4294967295 ms)");
  EXPECT_EQ(error_of([] { wd_parse_time("99999999999999999999999s", u32); }),
            "'99999999999999999999999s' is too large (at most 4294967295 ms)");
  for (const char* bad : {"s", "-1s", "1.5s", "30 seconds", " ", "+3"})
    EXPECT_NE(error_of([bad] { wd_parse_time(bad, u32); }), "") << bad;
}

TEST(IniValues, SizesInEveryUnit) {
  EXPECT_EQ(wd_parse_size("100", u32), 100u);
  EXPECT_EQ(wd_parse_size("100b", u32), 100u);
  EXPECT_EQ(wd_parse_size("512kb", u32), 512u * 1024);
  EXPECT_EQ(wd_parse_size("512K", u32), 512u * 1024);
  EXPECT_EQ(wd_parse_size("25mb", u32), 25u << 20);
  EXPECT_EQ(wd_parse_size("25 MiB", u32), 25u << 20);
  EXPECT_EQ(wd_parse_size("3gb", u32), 3ull << 30);
  EXPECT_EQ(error_of([] { wd_parse_size("4gb", u32); }), "'4gb' is too large (at most 4294967295 bytes)");
  EXPECT_EQ(error_of([] { wd_parse_size("1tb", u32); }),
            "bad size unit 'tb' in '1tb': use a whole number with b, kb, mb or gb (a bare number is bytes)");
  EXPECT_EQ(wd_parse_count("65535", 65535), 65535u);
  EXPECT_EQ(error_of([] { wd_parse_count("65536", 65535); }), "'65536' is too large (at most 65535)");
  EXPECT_EQ(error_of([] { wd_parse_count("12k", u32); }), "bad number '12k': use a whole decimal number");
}

TEST(IniValues, SwitchesAndEnumerations) {
  for (const char* on : {"yes", "YES", "on", "On", "true", "1"}) EXPECT_TRUE(wd_parse_switch(on)) << on;
  for (const char* off : {"no", "No", "off", "OFF", "false", "0"}) EXPECT_FALSE(wd_parse_switch(off)) << off;
  EXPECT_EQ(error_of([] { wd_parse_switch("maybe"); }), "bad switch 'maybe': use yes or no (on/off, true/false)");

  const auto& levels = *vx::LogLevel_descriptor();
  EXPECT_EQ(wd_parse_enum("Notice", levels).number(), vx::LOG_LEVEL_NOTICE);
  EXPECT_EQ(wd_parse_enum("warning", levels).number(), vx::LOG_LEVEL_WARNING);
  EXPECT_EQ(wd_parse_enum("log_level_error", levels).number(), vx::LOG_LEVEL_ERROR);
  EXPECT_EQ(error_of([&] { wd_parse_enum("Loud", levels); }),
            "bad value 'Loud': use one of Debug, Info, Notice, Warning, Error");
}

TEST(IniValues, LogDestinations) {
  EXPECT_EQ(wd_parse_log("Stderr").ShortDebugString(), "type: STDERR");
  EXPECT_EQ(wd_parse_log("auto").ShortDebugString(), "type: AUTO");
  EXPECT_EQ(wd_parse_log("syslog").ShortDebugString(), "type: SYSLOG facility: DAEMON");
  EXPECT_EQ(wd_parse_log("Syslog:Local0").ShortDebugString(), "type: SYSLOG facility: LOCAL0");
  EXPECT_EQ(wd_parse_log("SYSLOG:mail").ShortDebugString(), "type: SYSLOG facility: MAIL");
  EXPECT_EQ(wd_parse_log("/var/log/vemra/clamd.log").ShortDebugString(),
            "type: FILE path: \"/var/log/vemra/clamd.log\"");
  EXPECT_EQ(error_of([] { wd_parse_log("Syslog:Local9"); }),
            "bad syslog facility 'Local9': use one of Daemon, User, Mail, Local0, Local1, Local2, Local3, Local4, "
            "Local5, Local6, Local7");
  for (const char* bad : {"clamd.log", "Stderr:x", "File", ""})
    EXPECT_NE(error_of([bad] { wd_parse_log(bad); }), "") << bad;

  for (const char* text : {"Stderr", "Auto", "Syslog", "Syslog:Local3", "/var/log/x.log"})
    EXPECT_EQ(wd_log_text(wd_parse_log(text)), text);
}

TEST(IniValues, Sockets) {
  EXPECT_EQ(wd_parse_socket("/run/vemra/clamd.sock").ShortDebugString(), "local: \"/run/vemra/clamd.sock\"");
  EXPECT_EQ(wd_parse_socket("127.0.0.1:3310").ShortDebugString(), "ip { address: \"127.0.0.1\" port: 3310 }");
  EXPECT_EQ(wd_parse_socket("[::1]:65535").ShortDebugString(), "ip { address: \"::1\" port: 65535 }");
  // Addresses are kept in their canonical form, so duplicates can be told.
  EXPECT_EQ(wd_parse_socket("[0:0::1]:1").ShortDebugString(), "ip { address: \"::1\" port: 1 }");
  for (const char* text : {"/run/x.sock", "10.0.0.1:3310", "[fe80::1]:3310"})
    EXPECT_EQ(wd_socket_text(wd_parse_socket(text)), text);

  // 107 bytes fit a Unix socket address with its NUL; 108 do not.
  EXPECT_EQ(error_of([] { wd_parse_socket("/" + std::string(106, 'a')); }), "");
  EXPECT_EQ(error_of([] { wd_parse_socket("/" + std::string(107, 'a')); }),
            "socket path '/" + std::string(107, 'a') + "' is longer than 107 bytes");
  EXPECT_EQ(error_of([] { wd_parse_socket("::1:3310"); }),
            "bad socket '::1:3310': write an IPv6 address in brackets, as [::1]:port");
  EXPECT_EQ(error_of([] { wd_parse_socket("127.0.0.1:0"); }),
            "bad port '0' in '127.0.0.1:0': use a number from 1 to 65535");
  EXPECT_EQ(error_of([] { wd_parse_socket("127.0.0.1:65536"); }),
            "bad port '65536' in '127.0.0.1:65536': use a number from 1 to 65535");
  for (const char* bad : {"localhost:3310", "clamd.sock", "127.0.0.1", "127.0.0.1:", "[127.0.0.1]:3310",
                          "1.2.3.4:33a", "[::1]3310"})
    EXPECT_NE(error_of([bad] { wd_parse_socket(bad); }), "") << bad;
}

}  // namespace
