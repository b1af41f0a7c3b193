#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clamd_config.pb.h"
#include "wd_config.pb.h"
#include "wd_ini_reader.h"

namespace {

const std::set<std::string> hidden = {"vx.ClamdConfig.actual_log", "vx.ClamdConfig.actual_start"};

struct read_t {
  vx::ClamdConfig clamd;
  vx::WardenConfig warden;
  std::vector<std::string> issues;
};

read_t read(const std::string& text) {
  read_t r;
  const auto file = wd_ini_file_t::parse(text, "t.conf");
  wd_ini_reader_t reader(file);
  reader.add_record(r.clamd, hidden);
  reader.add_record(r.warden);
  try {
    reader.read();
  } catch (const wd_config_error_t& e) {
    for (const auto& issue : e.issues()) r.issues.push_back(issue.text());
  }
  return r;
}

TEST(IniReader, EveryKindOfValueByTheDescriptor) {
  const auto r = read(
      "[clamd]\n"
      "LogLevel = info\n"
      "Log = Syslog:Local2\n"
      "ExePath = /opt/vemra/sbin/vemra-clamd\n"
      "Start = off\n"
      "readtimeout = 45s\n"
      "StreamMaxLength = 512kb\n"
      "ScanTimeout = 2m\n"
      "HeuristicAnalysis = no\n"
      "ArchiveMaxLevel = 7\n"
      "MaxCompressionRatio = 300\n"
      "DetectJokes = yes\n"
      "[Warden]\n"
      "RunDir = /run/v\n"
      "StatusInterval = off\n"
      "RestartDelayMax = 1h\n");
  ASSERT_TRUE(r.issues.empty()) << r.issues[0];
  EXPECT_EQ(r.clamd.ShortDebugString(),
            "log_level: LOG_LEVEL_INFO log { type: SYSLOG facility: LOCAL2 } "
            "exe_path: \"/opt/vemra/sbin/vemra-clamd\" start: false read_timeout: 45000 "
            "stream_max_length: 524288 scan_timeout: 120000 heuristic_analysis: false archive_max_level: 7 "
            "max_compression_ratio: 300 detect_jokes: true");
  EXPECT_EQ(r.warden.ShortDebugString(), "run_dir: \"/run/v\" restart_delay_max: 3600000 status_interval: 0");
}

TEST(IniReader, EndpointSectionsBecomeTaggedItems) {
  const auto r = read(
      "[ClamD.Endpoint.tcp]\n"
      "ClamdSocket = 127.0.0.1:3310\n"
      "ReadTimeout = 5s\n"
      "[clamd.endpoint.Mail]\n"
      "ClamdSocket = /run/mail/clamd.sock\n"
      "DetectAdware = yes\n"
      "[ClamD]\n"
      "ReadTimeout = 1m\n");
  ASSERT_TRUE(r.issues.empty()) << r.issues[0];
  EXPECT_EQ(r.clamd.ShortDebugString(),
            "read_timeout: 60000 endpoint { "
            "item { clamd_socket { ip { address: \"127.0.0.1\" port: 3310 } } read_timeout: 5000 tag: \"tcp\" } "
            "item { clamd_socket { local: \"/run/mail/clamd.sock\" } detect_adware: true tag: \"Mail\" } }");
}

TEST(IniReader, EveryProblemIsNamedWithLineAndKey) {
  const auto r = read(
      "[ClamD]\n"                       // 1
      "ReadTimeout = 30x\n"             // 2
      "Bogus = 1\n"                     // 3
      "ReadTimeout = 30s\n"             // 4
      "ActualLog = Stderr\n"            // 5: Warden fills it
      "Endpoint = x\n"                  // 6: endpoints are sections
      "StreamMaxLength = 5gb\n"         // 7
      "ExePath = bin/vemra-clamd\n"     // 8
      "LogLevel =\n"                    // 9
      "[ClamD.Endpoint.a]\n"            // 10
      "Tag = b\n"                       // 11: the tag is the section's
      "ClamdSocket = localhost:3310\n"  // 12
      "[ClamD.Endpoint.A]\n"            // 13
      "[Sieve]\n"                       // 14
      "[ClamD]\n"                       // 15
      "[ClamD.Endpoint]\n"              // 16
      "[Warden.Endpoint.x]\n"           // 17
      "[Warden]\n"                      // 18
      "RunDir =\n");                    // 19
  const std::string known = " (known: [ClamD], [ClamD.Endpoint.<tag>], [Warden])";
  EXPECT_EQ(r.issues, (std::vector<std::string>{
                          "t.conf:2: ReadTimeout: bad time unit 'x' in '30x': use a whole number with ms, s, m or h "
                          "(a bare number is milliseconds)",
                          "t.conf:3: Bogus: unknown key in [ClamD]",
                          "t.conf:4: ReadTimeout: duplicate key (first set on line 2)",
                          "t.conf:5: ActualLog: unknown key in [ClamD]",
                          "t.conf:6: Endpoint: unknown key in [ClamD]",
                          "t.conf:7: StreamMaxLength: '5gb' is too large (at most 4294967295 bytes)",
                          "t.conf:8: ExePath: 'bin/vemra-clamd' is not an absolute path",
                          "t.conf:9: LogLevel: empty value",
                          "t.conf:11: Tag: unknown key in [ClamD.Endpoint.a]",
                          "t.conf:12: ClamdSocket: bad socket 'localhost:3310': 'localhost' is not an IP address: use "
                          "an absolute Unix-socket path, IPv4-address:port or [IPv6-address]:port",
                          "t.conf:13: [ClamD.Endpoint.A]: duplicate Endpoint 'A' (first defined on line 10)",
                          "t.conf:14: [Sieve]: unknown section" + known,
                          "t.conf:15: [ClamD]: duplicate section (first on line 1)",
                          "t.conf:16: [ClamD.Endpoint]: unknown section" + known,
                          "t.conf:17: [Warden.Endpoint.x]: unknown section" + known,
                          "t.conf:19: RunDir: empty value",
                      }));
}

TEST(IniReader, LinesOfWhatTheFileSet) {
  const auto file = wd_ini_file_t::parse("[ClamD]\n\nLogLevel = Debug\n[ClamD.Endpoint.x]\nReadTimeout = 1\n", "t");
  vx::ClamdConfig clamd;
  wd_ini_reader_t reader(file);
  reader.add_record(clamd, hidden);
  reader.read();
  EXPECT_EQ(reader.section_line(clamd), 1u);
  EXPECT_EQ(reader.line_of(clamd, "log_level"), 3u);
  EXPECT_EQ(reader.line_of(clamd, "read_timeout"), 0u);
  const auto& item = clamd.endpoint().item(0);
  EXPECT_EQ(reader.section_line(item), 4u);
  EXPECT_EQ(reader.line_of(item, "read_timeout"), 5u);
}

}  // namespace
