#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wd_settings.h"
#include "wd_settings_text.h"

namespace {

wd_options_t user_options() {
  wd_options_t o;
  o.uid = 1000;
  return o;
}

wd_settings_t resolve(const std::string& text, const wd_options_t& options = user_options()) {
  const auto file = wd_ini_file_t::parse(text, "t.conf");
  return wd_resolve_settings(&file, options);
}

std::vector<std::string> problems(const std::string& text, const wd_options_t& options = user_options()) {
  try {
    resolve(text, options);
  } catch (const wd_config_error_t& e) {
    std::vector<std::string> out;
    for (const auto& issue : e.issues()) out.push_back(issue.text());
    return out;
  }
  return {};
}

std::string endpoints(const vx::ClamdConfig& c) {
  std::string out;
  for (const auto& item : c.endpoint().item()) out += item.ShortDebugString() + "\n";
  return out;
}

const char all_off[] =
    "detect_suspicious: true detect_adware: false detect_dialers: false detect_jokes: false "
    "detect_riskware: false detect_hacktools: false";

TEST(Settings, EmbeddedDefault) {
  const auto s = wd_resolve_settings(nullptr, user_options());
  EXPECT_EQ(s.source, "embedded default");
  EXPECT_EQ(s.warden.run_dir(), "/tmp/vemra-1000");
  EXPECT_EQ(s.warden.sieve_socket(), "/tmp/vemra-1000/sieve.sock");
  EXPECT_EQ(s.warden.courier_socket(), "/tmp/vemra-1000/courier.sock");
  EXPECT_EQ(endpoints(s.clamd),
            "clamd_socket { ip { address: \"127.0.0.1\" port: 3310 } } " + std::string(all_off) + " tag: \"tcp\"\n" +
                "clamd_socket { local: \"/tmp/vemra-1000/clamd.sock\" } " + all_off + " tag: \"local\"\n");
  // Auto: the daemon logs where Warden does.
  EXPECT_EQ(s.clamd.log().ShortDebugString(), "type: AUTO");
  EXPECT_EQ(s.clamd.actual_log().ShortDebugString(), "type: STDERR");
  EXPECT_TRUE(s.clamd.actual_start());
  EXPECT_EQ(s.clamd.exe_path(), "/usr/sbin/vemra-clamd");
  EXPECT_EQ(s.installed_apps(), (std::vector<vx::Application>{vx::APP_WARDEN, vx::APP_CLAMD}));

  wd_options_t root;
  root.run_dir = "";
  EXPECT_EQ(wd_resolve_settings(nullptr, root).clamd.endpoint().item(1).clamd_socket().local(),
            "/run/vemra/clamd.sock");
}

TEST(Settings, FileOverridesDefaultsAndCommandLineOverridesFile) {
  auto s = resolve(
      "[Warden]\nRunDir = /srv/v/\nSieveEnabled = yes\n"
      "[ClamD]\nReadTimeout = 10s\n");
  EXPECT_EQ(s.source, "t.conf");
  EXPECT_EQ(s.clamd.read_timeout(), 10000u);
  EXPECT_EQ(s.clamd.scan_timeout(), 120000u);  // the default stays
  EXPECT_EQ(s.clamd.endpoint().item(1).clamd_socket().local(), "/srv/v/clamd.sock");
  EXPECT_EQ(s.warden.sieve_socket(), "/srv/v/sieve.sock");
  EXPECT_EQ(s.installed_apps(), (std::vector<vx::Application>{vx::APP_WARDEN, vx::APP_SIEVE, vx::APP_CLAMD}));

  // A file's endpoints replace the default ones; the port option moves
  // every TCP endpoint and no Unix one.
  auto options = user_options();
  options.tcp_port = 40000;
  options.run_dir = "/x";
  s = resolve(
      "[ClamD.Endpoint.a]\nClamdSocket = [::1]:3310\n"
      "[ClamD.Endpoint.b]\nClamdSocket = /run/b.sock\n",
      options);
  ASSERT_EQ(s.clamd.endpoint().item_size(), 2);
  EXPECT_EQ(s.clamd.endpoint().item(0).clamd_socket().ip().port(), 40000u);
  EXPECT_EQ(s.clamd.endpoint().item(1).clamd_socket().local(), "/run/b.sock");
  EXPECT_EQ(s.warden.run_dir(), "/x");
}

TEST(Settings, GlobalDetectSwitchesReachEveryEndpointThatSetsNone) {
  const auto s = resolve(
      "[ClamD]\nDetectAdware = yes\nDetectSuspicious = no\n"
      "[ClamD.Endpoint.own]\nClamdSocket = /a.sock\nDetectAdware = no\nDetectJokes = yes\n"
      "[ClamD.Endpoint.plain]\nClamdSocket = /b.sock\n");
  EXPECT_EQ(endpoints(s.clamd),
            "clamd_socket { local: \"/a.sock\" } detect_suspicious: false detect_adware: false detect_dialers: false "
            "detect_jokes: true detect_riskware: false detect_hacktools: false tag: \"own\"\n"
            "clamd_socket { local: \"/b.sock\" } detect_suspicious: false detect_adware: true detect_dialers: false "
            "detect_jokes: false detect_riskware: false detect_hacktools: false tag: \"plain\"\n");
  // The global record keeps its own values too.
  EXPECT_TRUE(s.clamd.detect_adware());
}

TEST(Settings, LogDestinationIsResolved) {
  auto s = resolve("[Warden]\nLog = Syslog:Local3\n[ClamD]\nLog = Auto\n");
  EXPECT_EQ(s.clamd.actual_log().ShortDebugString(), "type: SYSLOG facility: LOCAL3");
  s = resolve("[Warden]\nLog = Syslog\n[ClamD]\nLog = /var/log/clamd.log\n");
  EXPECT_EQ(s.clamd.log().ShortDebugString(), "type: FILE path: \"/var/log/clamd.log\"");
  EXPECT_EQ(s.clamd.actual_log().ShortDebugString(), "type: FILE path: \"/var/log/clamd.log\"");
}

TEST(Settings, ProblemsOnlyTheWholeFileShows) {
  EXPECT_EQ(problems("[ClamD.Endpoint.a]\nReadTimeout = 1s\n"
                     "[ClamD.Endpoint.b]\nClamdSocket = [::1]:5\n"
                     "[ClamD.Endpoint.c]\nClamdSocket = [0::1]:5\n"
                     "[Warden]\nLog = Auto\nRestartDelay = 10ms\nStopTimeout = 0\n"),
            (std::vector<std::string>{
                "t.conf:1: [ClamD.Endpoint.a]: no ClamdSocket: where should it listen?",
                "t.conf:6: ClamdSocket: '[::1]:5' is already used by endpoint 'b'",
                "t.conf:8: Log: Auto is for the services' logs; use Stderr, Syslog or a file path here",
                "t.conf:9: RestartDelay: must be at least 100ms",
                "t.conf:10: StopTimeout: must be more than 0",
            }));
  auto options = user_options();
  options.run_dir = "relative";
  EXPECT_EQ(problems("", options),
            (std::vector<std::string>{"command line: --run-dir: 'relative' is not an absolute path"}));
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
  std::stringstream text;
  std::string line;
  const std::regex setting("^#([A-Z\\[].*)$");
  std::smatch m;
  int settings = 0;
  while (std::getline(in, line)) {
    if (std::regex_match(line, m, setting)) {
      text << m[1] << "\n";
      ++settings;
    }
  }
  EXPECT_GT(settings, 20);
  wd_options_t root;  // the file shows root's run directory
  const auto file = wd_ini_file_t::parse(text.str(), "etc/vemra.conf");
  const auto shipped = wd_resolve_settings(&file, root);
  const auto embedded = wd_resolve_settings(nullptr, root);
  EXPECT_EQ(shipped.clamd.ShortDebugString(), embedded.clamd.ShortDebugString());
  EXPECT_EQ(shipped.warden.ShortDebugString(), embedded.warden.ShortDebugString());
}

TEST(Settings, ProgramsAreFoundBesideWardenOrInTheBuildTree) {
  char dir[] = "/tmp/wd-exe-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string root = dir;
  const std::string self = root + "/suite/warden/vemra-warden";
  const std::string built = root + "/app/vemra-clamd";
  const std::string beside = root + "/suite/warden/vemra-clamd";
  ASSERT_EQ(system(("mkdir -p " + root + "/suite/warden " + root + "/app").c_str()), 0);

  // Neither exists: the installed layout's path, for a clear error later.
  EXPECT_EQ(wd_program_path(self, "vemra-clamd", "app"), beside);
  std::ofstream(built) << "#!/bin/sh\n";
  EXPECT_EQ(wd_program_path(self, "vemra-clamd", "app"), beside);  // not executable
  chmod(built.c_str(), 0755);
  EXPECT_EQ(wd_program_path(self, "vemra-clamd", "app"), built);
  std::ofstream(beside) << "#!/bin/sh\n";
  chmod(beside.c_str(), 0755);
  EXPECT_EQ(wd_program_path(self, "vemra-clamd", "app"), beside);
  ASSERT_EQ(system(("rm -rf " + root).c_str()), 0);
}

}  // namespace
