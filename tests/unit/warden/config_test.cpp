#include <sys/stat.h>

#include <fstream>
#include <limits>
#include <regex>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "temp_dir.h"
#include "wd_config.pb.h"
#include "wd_ini_reader.h"
#include "wd_ini_values.h"
#include "wd_settings.h"
#include "wd_settings_text.h"

namespace {

// The problems a step reports, one text each; empty when it succeeds.
template <class F>
std::vector<std::string> issues_of(F step) {
  try {
    step();
  } catch (const wd_config_error_t& e) {
    std::vector<std::string> out;
    for (const auto& issue : e.issues()) out.push_back(issue.text());
    return out;
  }
  return {};
}

wd_ini_file_t parse(const std::string& text) { return wd_ini_file_t::parse(text, "t.conf"); }

// A file written line by line, each with the problem it must raise ("" for
// none): the text, and the problems as reported, "t.conf:<line>: " first.
struct lines_t {
  std::string text;
  std::vector<std::string> issues;
};
lines_t lines(std::initializer_list<std::pair<std::string, std::string>> rows) {
  lines_t out;
  unsigned number = 0;
  for (const auto& [line, issue] : rows) {
    out.text += line + "\n";
    ++number;
    if (!issue.empty()) out.issues.push_back("t.conf:" + std::to_string(number) + ": " + issue);
  }
  return out;
}

TEST(IniFile, EveryMalformedLineIsReportedWithItsNumber) {
  const std::string bad_name = " (letters, digits, '_', '-', separated by dots)";
  const auto file = lines({
      {"Orphan = 1", "Orphan: key outside any section"},
      {"[ClamD", "missing ']' after section name"},
      {"[ClamD] junk", "unexpected text after section name: 'junk'"},
      {"[Clam D]", "bad section name '[Clam D]'" + bad_name},
      {"Hidden = 1", ""},  // under a bad header: not reported twice
      {"[Warden]", ""},
      {"just words", "expected 'Key = Value' or '[Section]', got 'just words'"},
      {"Bad Key = 1", "bad key 'Bad Key' (letters, digits, '_', '-')"},
      {"= 1", "bad key '' (letters, digits, '_', '-')"},
      {"[a..b]", "bad section name '[a..b]'" + bad_name},
      {"[Warden]", ""},
      {"Path = /x\x01y", "control character in line"},
      {std::string("Nul = /a\0b", 10), "control character in line"},
  });
  EXPECT_EQ(issues_of([&] { parse(file.text); }), file.issues);
}

TEST(IniFile, OnlyATrustworthyRegularFileOfBoundedSizeIsRead) {
  temp_dir_t dir;
  EXPECT_EQ(wd_ini_file_t::load(dir.write("good.conf", "[ClamD]\n")).sections().size(), 1u);
  const std::string shared = dir.write("shared.conf", "");
  ASSERT_EQ(chmod(shared.c_str(), 0666), 0);
  // Comments only: read whole, it would be a valid file.
  const std::string big = dir.write("big.conf", std::string(wd_ini_file_t::max_size + 1, '#'));
  const std::pair<std::string, std::string> refused[] = {
      {dir.path() + "/missing.conf", "cannot open: No such file or directory"},
      {dir.path(), "not a regular file"},
      {shared, "refused: the file must belong to root or to Warden's user and must not be writable by others"},
      {big, "file is larger than 1048576 bytes"},
  };
  for (const auto& [path, why] : refused)
    EXPECT_EQ(issues_of([&] { wd_ini_file_t::load(path); }), std::vector<std::string>{path + ": " + why});
}

// What a value parser makes of text: the value, then " = " and its text
// form for records; or "! " and the error.
std::string parsed(const std::string& kind, const std::string& text) {
  constexpr std::uint64_t u32 = std::numeric_limits<std::uint32_t>::max();
  try {
    if (kind == "time") return std::to_string(wd_parse_time(text, u32));
    if (kind == "size") return std::to_string(wd_parse_size(text, u32));
    if (kind == "port") return std::to_string(wd_parse_count(text, 65535));
    if (kind == "switch") return wd_parse_switch(text) ? "on" : "off";
    if (kind == "level") return wd_parse_enum(text, *vx::LogLevel_descriptor()).name();
    if (kind == "listen") return wd_parse_listen(text).ShortDebugString();
    if (kind == "log") return wd_parse_log(text).ShortDebugString() + " = " + wd_log_text(wd_parse_log(text));
    return wd_parse_socket(text).ShortDebugString() + " = " + wd_socket_text(wd_parse_socket(text));
  } catch (const wd_value_error_t& e) {
    return std::string("! ") + e.what();
  }
}

TEST(IniValues, EveryKindOfValueAndWhyOneIsRefused) {
  const std::string time_usage = ": use a whole number with ms, s, m or h (a bare number is milliseconds)";
  const std::string socket_usage = ": use an absolute Unix-socket path, IPv4-address:port or [IPv6-address]:port";
  const std::string path107 = "/" + std::string(106, 'a');
  const struct {
    const char* kind;
    std::string text, expected;
  } rows[] = {
      {"time", "250", "250"},
      {"time", "500ms", "500"},
      {"time", "30 S", "30000"},
      {"time", "2m", "120000"},
      {"time", "1h", "3600000"},
      {"time", "4294967295", "4294967295"},
      {"time", "30x", "! bad time unit 'x' in '30x'" + time_usage},
      {"time", "1.5s", "! bad time unit '.5s' in '1.5s'" + time_usage},
      {"time", "-1s", "! bad time '-1s'" + time_usage},
      {"time", " ", "! bad time ' '" + time_usage},
      {"time", "1194h", "! '1194h' is too large (at most 4294967295 ms)"},
      {"time", "4294967296", "! '4294967296' is too large (at most 4294967295 ms)"},
      {"time", "99999999999999999999999s", "! '99999999999999999999999s' is too large (at most 4294967295 ms)"},
      {"size", "100b", "100"},
      {"size", "512K", "524288"},
      {"size", "25 MiB", "26214400"},
      {"size", "3gb", "3221225472"},
      {"size", "4gb", "! '4gb' is too large (at most 4294967295 bytes)"},
      {"size", "1tb",
       "! bad size unit 'tb' in '1tb': use a whole number with b, kb, mb or gb (a bare number is bytes)"},
      {"port", "65535", "65535"},
      {"port", "65536", "! '65536' is too large (at most 65535)"},
      {"port", "12k", "! bad number '12k': use a whole decimal number"},
      {"port", "+3", "! bad number '+3': use a whole decimal number"},
      {"switch", "YES", "on"},
      {"switch", "true", "on"},
      {"switch", "Off", "off"},
      {"switch", "0", "off"},
      {"switch", "maybe", "! bad switch 'maybe': use yes or no (on/off, true/false)"},
      {"level", "warning", "LOG_LEVEL_WARNING"},
      {"level", "log_level_error", "LOG_LEVEL_ERROR"},
      {"level", "Loud", "! bad value 'Loud': use one of Debug, Info, Notice, Warning, Error"},
      {"log", "stderr", "type: STDERR = Stderr"},
      {"log", "auto", "type: AUTO = Auto"},
      {"log", "syslog", "type: SYSLOG facility: DAEMON = Syslog"},
      {"log", "SYSLOG:local3", "type: SYSLOG facility: LOCAL3 = Syslog:Local3"},
      {"log", "/var/log/x.log", "type: FILE path: \"/var/log/x.log\" = /var/log/x.log"},
      {"log", "Syslog:Local9",
       "! bad syslog facility 'Local9': use one of Daemon, User, Mail, Local0, Local1, Local2, Local3, Local4, "
       "Local5, Local6, Local7"},
      {"log", "clamd.log",
       "! bad log destination 'clamd.log': use Stderr, Syslog, Syslog:<facility>, Auto or an absolute file path"},
      {"log", "Stderr:x",
       "! bad log destination 'Stderr:x': use Stderr, Syslog, Syslog:<facility>, Auto or an absolute file path"},
      {"listen", "9101", "address: \"127.0.0.1\" port: 9101"},
      {"listen", "0.0.0.0:9101", "address: \"0.0.0.0\" port: 9101"},
      {"listen", "/run/m.sock", "! bad address '/run/m.sock': use a port, IPv4-address:port or [IPv6-address]:port"},
      {"listen", "0", "! bad port '0' in '127.0.0.1:0': use a number from 1 to 65535"},
      {"socket", "/run/x.sock", "local: \"/run/x.sock\" = /run/x.sock"},
      {"socket", "10.0.0.1:3310", "ip { address: \"10.0.0.1\" port: 3310 } = 10.0.0.1:3310"},
      // Addresses are kept in their canonical form, so duplicates can be told.
      {"socket", "[0:0::1]:1", "ip { address: \"::1\" port: 1 } = [::1]:1"},
      // 107 bytes fit a Unix socket address with its NUL; 108 do not.
      {"socket", path107, "local: \"" + path107 + "\" = " + path107},
      {"socket", path107 + "a", "! socket path '" + path107 + "a' is longer than 107 bytes"},
      {"socket", "::1:3310", "! bad socket '::1:3310': write an IPv6 address in brackets, as [::1]:port"},
      {"socket", "[127.0.0.1]:3310", "! bad socket '[127.0.0.1]:3310': brackets are for IPv6 addresses only"},
      {"socket", "localhost:3310", "! bad socket 'localhost:3310': 'localhost' is not an IP address" + socket_usage},
      {"socket", "clamd.sock", "! bad socket 'clamd.sock'" + socket_usage},
      {"socket", "1.2.3.4:33a", "! bad port '33a' in '1.2.3.4:33a': use a number from 1 to 65535"},
  };
  for (const auto& row : rows) EXPECT_EQ(parsed(row.kind, row.text), row.expected) << row.kind << " " << row.text;
}

TEST(IniReader, FillsRecordsByTheirDescriptorsAndKnowsTheLines) {
  // Comments and blank lines still count; a '#' inside a value belongs to
  // it (paths may hold one); the last line needs no terminator.
  const auto file = parse(
      "# comment\r\n; another\n\n  [clamd]   # trailing comment\nLogLevel=info\n  Log =   /var/log/a#b.log  \r\n"
      "ExePath = /opt/vemra/sbin/vemra-clamd\nStart = off\n"
      "readtimeout = 45s\nStreamMaxLength = 512kb\nScanTimeout = 2m\nHeuristicAnalysis = no\nArchiveMaxLevel = 7\n"
      "[Warden]\nRunDir = /run/v\nStatusInterval = off\nRestartDelayMax = 1h\n"
      "[ClamD.Endpoint.tcp-1]\nClamdSocket = 127.0.0.1:3310\nReadTimeout = 5s\n"
      "[clamd.endpoint.Mail]\nClamdSocket = /run/mail/clamd.sock\nDetectAdware = yes");
  vx::ClamdConfig clamd;
  vx::WardenConfig warden;
  wd_ini_reader_t reader(file);
  reader.add_record(clamd, wd_clamd_hidden_fields());
  reader.add_record(warden);
  reader.read();
  EXPECT_EQ(clamd.ShortDebugString(),
            "log_level: LOG_LEVEL_INFO log { type: FILE path: \"/var/log/a#b.log\" } "
            "exe_path: \"/opt/vemra/sbin/vemra-clamd\" start: false read_timeout: 45000 "
            "stream_max_length: 524288 scan_timeout: 120000 heuristic_analysis: false archive_max_level: 7 endpoint { "
            "item { clamd_socket { ip { address: \"127.0.0.1\" port: 3310 } } read_timeout: 5000 tag: \"tcp-1\" } "
            "item { clamd_socket { local: \"/run/mail/clamd.sock\" } detect_adware: true tag: \"Mail\" } }");
  EXPECT_EQ(warden.ShortDebugString(), "run_dir: \"/run/v\" restart_delay_max: 3600000 status_interval: 0");
  const auto& mail = clamd.endpoint().item(1);
  EXPECT_EQ((std::vector<unsigned>{reader.section_line(clamd), reader.line_of(clamd, "log"),
                                   reader.line_of(clamd, "read_timeout"), reader.line_of(clamd, "detect_adware"),
                                   reader.section_line(mail), reader.line_of(mail, "detect_adware")}),
            (std::vector<unsigned>{4, 6, 9, 0, 21, 23}));
}

TEST(IniReader, EveryProblemIsNamedWithLineAndKey) {
  const std::string known = " (known: [ClamD], [ClamD.Endpoint.<tag>], [Warden])";
  const auto file = lines({
      {"[ClamD]", ""},
      {"ReadTimeout = 30x", "ReadTimeout: bad time unit 'x' in '30x': use a whole number with ms, s, m or h "
                            "(a bare number is milliseconds)"},
      {"Bogus = 1", "Bogus: unknown key in [ClamD]"},
      {"ReadTimeout = 30s", "ReadTimeout: duplicate key (first set on line 2)"},
      {"ActualLog = Stderr", "ActualLog: unknown key in [ClamD]"},  // Warden fills it
      {"Endpoint = x", "Endpoint: unknown key in [ClamD]"},         // endpoints are sections
      {"StreamMaxLength = 5gb", "StreamMaxLength: '5gb' is too large (at most 4294967295 bytes)"},
      {"ExePath = bin/vemra-clamd", "ExePath: 'bin/vemra-clamd' is not an absolute path"},
      {"LogLevel =", "LogLevel: empty value"},
      {"[ClamD.Endpoint.a]", ""},
      {"Tag = b", "Tag: unknown key in [ClamD.Endpoint.a]"},  // the tag is the section's
      {"ClamdSocket = localhost:3310", "ClamdSocket: bad socket 'localhost:3310': 'localhost' is not an IP address: "
                                       "use an absolute Unix-socket path, IPv4-address:port or [IPv6-address]:port"},
      {"[ClamD.Endpoint.A]", "[ClamD.Endpoint.A]: duplicate Endpoint 'A' (first defined on line 10)"},
      {"[Sieve]", "[Sieve]: unknown section" + known},
      {"[ClamD]", "[ClamD]: duplicate section (first on line 1)"},
      {"[ClamD.Endpoint]", "[ClamD.Endpoint]: unknown section" + known},
      {"[Warden.Endpoint.x]", "[Warden.Endpoint.x]: unknown section" + known},
      {"[Warden]", ""},
      {"RunDir =", "RunDir: empty value"},
  });
  const auto parsed = parse(file.text);
  vx::ClamdConfig clamd;
  vx::WardenConfig warden;
  wd_ini_reader_t reader(parsed);
  reader.add_record(clamd, wd_clamd_hidden_fields());
  reader.add_record(warden);
  EXPECT_EQ(issues_of([&] { reader.read(); }), file.issues);
}

wd_options_t user_options() {
  wd_options_t o;
  o.uid = 1000;
  return o;
}

wd_settings_t resolve(const std::string& text, const wd_options_t& options = user_options()) {
  const auto file = parse(text);
  return wd_resolve_settings(&file, options);
}

std::string sockets(const vx::ClamdConfig& c) {
  std::string out;
  for (const auto& item : c.endpoint().item()) out += item.tag() + " " + wd_socket_text(item.clamd_socket()) + ", ";
  return out;
}

// Root's default is what the shipped file shows (below); a user's runs in a
// directory of its own.
TEST(Settings, EmbeddedDefault) {
  const auto s = wd_resolve_settings(nullptr, user_options());
  EXPECT_EQ(s.source, "embedded default");
  EXPECT_EQ(s.warden.run_dir() + " " + s.warden.sieve_socket() + " " + s.warden.courier_socket(),
            "/tmp/vemra-1000 /tmp/vemra-1000/sieve.sock /tmp/vemra-1000/courier.sock");
  EXPECT_EQ(sockets(s.clamd), "tcp 127.0.0.1:3310, local /tmp/vemra-1000/clamd.sock, ");
}

TEST(Settings, FileOverridesDefaultsAndCommandLineOverridesFile) {
  auto s = resolve("[Warden]\nRunDir = /srv/v/\nSieveEnabled = no\nCourierEnabled = no\n[ClamD]\nReadTimeout = 10s\n");
  EXPECT_EQ(std::make_tuple(s.source, s.clamd.read_timeout(), s.clamd.scan_timeout(), s.warden.sieve_socket()),
            std::make_tuple("t.conf", 10000u, 120000u, "/srv/v/sieve.sock"));  // the scan timeout's default stays
  EXPECT_EQ(sockets(s.clamd), "tcp 127.0.0.1:3310, local /srv/v/clamd.sock, ");

  // A file's endpoints replace the default ones; the port option moves
  // every TCP endpoint and no Unix one.
  auto options = user_options();
  options.tcp_port = 40000;
  options.run_dir = "/x";
  s = resolve("[ClamD.Endpoint.a]\nClamdSocket = [::1]:3310\n[ClamD.Endpoint.b]\nClamdSocket = /run/b.sock\n", options);
  EXPECT_EQ(sockets(s.clamd), "a [::1]:40000, b /run/b.sock, ");
  EXPECT_EQ(s.warden.run_dir(), "/x");
}

TEST(Settings, DetectSwitchesAndLogDestinationAreResolved) {
  auto s = resolve(
      "[ClamD]\nDetectAdware = yes\nDetectSuspicious = no\nLog = Auto\n[Warden]\nLog = Syslog:Local3\n"
      "[ClamD.Endpoint.own]\nClamdSocket = /a.sock\nDetectAdware = no\nDetectJokes = yes\n"
      "[ClamD.Endpoint.plain]\nClamdSocket = /b.sock\n");
  // The global switches hold for every endpoint that does not set its own.
  std::string endpoints;
  for (const auto& item : s.clamd.endpoint().item()) endpoints += item.ShortDebugString() + "\n";
  EXPECT_EQ(endpoints,
            "clamd_socket { local: \"/a.sock\" } detect_suspicious: false detect_adware: false detect_dialers: false "
            "detect_jokes: true detect_riskware: false detect_hacktools: false tag: \"own\"\n"
            "clamd_socket { local: \"/b.sock\" } detect_suspicious: false detect_adware: true detect_dialers: false "
            "detect_jokes: false detect_riskware: false detect_hacktools: false tag: \"plain\"\n");
  EXPECT_TRUE(s.clamd.detect_adware());
  EXPECT_EQ(s.clamd.actual_log().ShortDebugString(), "type: SYSLOG facility: LOCAL3");
  s = resolve("[Warden]\nLog = Syslog\n[ClamD]\nLog = /var/log/clamd.log\n");
  EXPECT_EQ(s.clamd.actual_log().ShortDebugString(), "type: FILE path: \"/var/log/clamd.log\"");
}

TEST(Settings, ProblemsOnlyTheWholeFileShows) {
  const auto file = lines({
      {"[ClamD.Endpoint.a]", "[ClamD.Endpoint.a]: no ClamdSocket: where should it listen?"},
      {"ReadTimeout = 1s", ""},
      {"[ClamD.Endpoint.b]", ""},
      {"ClamdSocket = [::1]:5", ""},
      {"[ClamD.Endpoint.c]", ""},
      {"ClamdSocket = [0::1]:5", "ClamdSocket: '[::1]:5' is already used by endpoint 'b'"},
      {"[ClamD.Endpoint.d]", ""},
      {"ClamdSocket = 127.0.0.1:5", ""},
      {"[ClamD.Endpoint.e]", ""},
      {"ClamdSocket = [::ffff:127.0.0.1]:5", "ClamdSocket: '[::ffff:127.0.0.1]:5' is already used by endpoint 'd'"},
      {"[Warden]", ""},
      {"Log = Auto", "Log: Auto is for the services' logs; use Stderr, Syslog or a file path here"},
      {"RestartDelay = 10ms", "RestartDelay: must be at least 100ms"},
      {"StopTimeout = 0", "StopTimeout: must be more than 0"},
      {"SieveThreads = 257", "SieveThreads: use a number from 1 to 256"},
      {"CourierThreads = 0", "CourierThreads: use a number from 1 to 256"},
      {"CourierWindow = 65535", "CourierWindow: use a number from 65536 to 67108864"},
      {"CourierMemory = 1025mb", "CourierMemory: use a number from 0 to 1073741824"},
  });
  EXPECT_EQ(issues_of([&] { resolve(file.text); }), file.issues);
  const auto widest = resolve("[Warden]\nSieveThreads = 256\nCourierWindow = 64mb\nCourierMemory = 0\n").warden;
  EXPECT_EQ(std::make_tuple(widest.sieve_threads(), widest.courier_window(), widest.courier_memory()),
            std::make_tuple(256u, 64u << 20, 0u));
  // A service must be able to listen where the daemon is sent, when it runs.
  const std::string too_long = "/" + std::string(107, 's');
  for (const std::string service : {"Sieve", "Courier"}) {
    EXPECT_EQ(issues_of([&] { resolve("[Warden]\n" + service + "Socket = " + too_long + "\n"); }),
              std::vector<std::string>{"t.conf: " + service + "Socket: socket path '" + too_long +
                                       "' is longer than 107 bytes"});
    EXPECT_NO_THROW(resolve("[Warden]\n" + service + "Enabled = no\n" + service + "Socket = " + too_long + "\n"));
  }
  auto options = user_options();
  options.run_dir = "relative";
  EXPECT_EQ(issues_of([&] { resolve("", options); }),
            std::vector<std::string>{"command line: --run-dir: 'relative' is not an absolute path"});
}

TEST(Settings, PrintedConfigurationReadsBackTheSame) {
  const auto s = resolve(
      "[Warden]\nStatusInterval = off\nStopTimeout = 1500\n"
      "[ClamD]\nLogLevel = Debug\nLog = /var/log/c.log\nStreamMaxLength = 1000\nScanTimeout = 90s\n"
      "[ClamD.Endpoint.v6]\nClamdSocket = [::1]:3310\nStreamMaxLength = 3kb\n");
  const std::string text = wd_settings_text(s);
  const auto again = resolve(text);
  EXPECT_EQ(again.clamd.ShortDebugString(), s.clamd.ShortDebugString()) << text;
  EXPECT_EQ(again.warden.ShortDebugString(), s.warden.ShortDebugString()) << text;
  EXPECT_NE(text.find("ScanTimeout = 90s\n"), std::string::npos) << text;
  EXPECT_NE(text.find("StreamMaxLength = 3kb\n"), std::string::npos) << text;
}

// The shipped etc/vemra.conf documents the embedded default: with its
// commented-out settings switched on, it must give the same configuration.
TEST(Settings, ShippedFileShowsTheEmbeddedDefault) {
  std::ifstream in(VEMRA_SOURCE_DIR "/etc/vemra.conf");
  ASSERT_TRUE(in) << "etc/vemra.conf is missing";
  std::string text, line;
  int settings = 0;
  std::smatch m;
  const std::regex setting("^#([A-Z\\[].*)$");
  while (std::getline(in, line)) {
    if (!std::regex_match(line, m, setting)) continue;
    text += m[1].str() + "\n";
    ++settings;
  }
  EXPECT_GT(settings, 20);
  const wd_options_t root;  // the file shows root's run directory
  const auto shipped = resolve(text, root);
  const auto embedded = wd_resolve_settings(nullptr, root);
  EXPECT_EQ(shipped.clamd.ShortDebugString(), embedded.clamd.ShortDebugString());
  EXPECT_EQ(shipped.warden.ShortDebugString(), embedded.warden.ShortDebugString());
}

// Sieve, found in its own folder of the build tree, is what the black-box
// path-scan tests run.
TEST(Settings, ProgramsAreFoundBesideWardenOrInTheBuildTree) {
  temp_dir_t dir;
  const std::string self = dir.path() + "/suite/warden/vemra-warden";
  const std::string beside = dir.path() + "/suite/warden/vemra-clamd";
  auto found = [&] { return wd_program_path(self, "vemra-clamd", "app"); };
  // Neither exists: the installed layout's path, for a clear error later.
  EXPECT_EQ(found(), beside);
  const std::string built = dir.write("app/vemra-clamd", "#!/bin/sh\n");
  EXPECT_EQ(found(), beside);  // not executable
  ASSERT_EQ(chmod(built.c_str(), 0755), 0);
  EXPECT_EQ(found(), built);
  ASSERT_EQ(chmod(dir.write("suite/warden/vemra-clamd", "#!/bin/sh\n").c_str(), 0755), 0);
  EXPECT_EQ(found(), beside);
}

}  // namespace
