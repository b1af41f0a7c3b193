#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wd_clamd_import.h"
#include "wd_config_error.h"
#include "wd_ini_file.h"
#include "wd_settings.h"

namespace {

const char header[] = "# Converted from c.conf by vemra-warden --import-clamd-conf.\n";
const char notes[] = "# Not carried over, or carried over differently:\n";

struct import_case_t {
  const char* name;
  std::string clamd_conf;
  std::string expected;             // the output after the header line
  std::vector<std::string> errors;  // when the file is refused
};

// Every case that converts must also give a configuration Warden accepts.
TEST(ClamdImport, FragmentsBecomeTheEquivalentSettings) {
  const import_case_t cases[] = {
      {"sockets: one Unix socket and several TCP addresses",
       "Example\n# comment\nLocalSocket /run/c.sock\nLocalSocketMode 660\nTCPSocket 3310\n"
       "TCPAddr 127.0.0.1\nTCPAddr ::1\n  TCPAddr\t192.0.2.1 \nTCPAddr 127.0.0.1\nTCPAddr localhost\n",
       std::string(notes) +
           "#   line 1: Example: the mark of clamd's unedited sample file\n"
           "#   line 4: LocalSocketMode 660: vemra-clamd makes its Unix sockets mode 0666: the directory they "
           "lie in decides who connects\n"
           "#   line 9: TCPAddr 127.0.0.1: the same address again\n"
           "#   line 10: TCPAddr localhost: not an IP address; the suite listens on addresses, not host names\n"
           "\n[ClamD.Endpoint.local]\nClamdSocket = /run/c.sock\n"
           "\n[ClamD.Endpoint.tcp]\nClamdSocket = 127.0.0.1:3310\n"
           "\n[ClamD.Endpoint.tcp2]\nClamdSocket = [::1]:3310\n"
           "\n[ClamD.Endpoint.tcp3]\nClamdSocket = 192.0.2.1:3310\n",
       {}},
      {"TCPSocket alone listens everywhere; TCPAddr alone nowhere",
       "TCPSocket 3311\n",
       std::string(notes) +
           "#   line 1: TCPSocket 3311: clamd listens on every address; carried over as 0.0.0.0, every IPv4 address\n"
           "\n[ClamD.Endpoint.tcp]\nClamdSocket = 0.0.0.0:3311\n",
       {}},
      {"limits and switches, with units",
       "StreamMaxLength 25M\nReadTimeout 30\nMaxScanTime 90000\nMaxRecursion 12\nHeuristicAlerts no\n"
       "DetectPUA yes\nMaxThreads 4\nLocalSocket /run/c.sock\n",
       "\n[Warden]\nSieveThreads = 4\nCourierThreads = 4\n"
       "\n[ClamD]\nStreamMaxLength = 25mb\nReadTimeout = 30s\nScanTimeout = 90000\nPackerMaxLevel = 12\n"
       "ArchiveMaxLevel = 12\nMailMaxLevel = 12\nContainerMaxLevel = 12\nHeuristicAnalysis = no\n"
       "DetectAdware = yes\nDetectDialers = yes\nDetectJokes = yes\nDetectRiskware = yes\nDetectHacktools = yes\n"
       "\n[ClamD.Endpoint.local]\nClamdSocket = /run/c.sock\n",
       {}},
      {"sizes the suite cannot hold; unmapped and unknown keys are kept as comments",
       "StreamMaxLength 4G\nReadTimeout 0\nMaxThreads 1000\nAlgorithmicDetection yes\nHeuristicAlerts yes\n"
       "User scanner\nMaxFileSize 1G\nScanPDF yes\nFrobnicate 1\nLocalSocket /run/c.sock\n",
       std::string(notes) +
           "#   line 1: StreamMaxLength 4G: more than the largest size the suite takes, 4294967295 bytes\n"
           "#   line 2: ReadTimeout 0: a client that sends nothing is always disconnected in the end\n"
           "#   line 3: MaxThreads 1000: the scanning services take 1 to 256 threads\n"
           "#   line 5: HeuristicAlerts yes: HeuristicAnalysis is already set by line 4\n"
           "#   line 6: User scanner: the suite runs as the user that starts vemra-warden (the packaged service: "
           "vemra)\n"
           "#   line 7: MaxFileSize 1G: the engine's size and count limits are fixed\n"
           "#   line 8: ScanPDF yes: the engine scans every file type it knows; none can be switched off\n"
           "#   line 9: Frobnicate 1: no equivalent setting in the suite\n"
           "\n[ClamD]\nHeuristicAnalysis = yes\n\n[ClamD.Endpoint.local]\nClamdSocket = /run/c.sock\n",
       {}},
      {"logs: the file wins over syslog; Debug over LogVerbose",
       "LogFile /var/log/c.log\nLogSyslog yes\nLogFacility LOG_MAIL\nLogVerbose yes\nDebug yes\n",
       std::string(notes) +
           "#   line 2: LogSyslog yes: the daemon has one log destination: the file of LogFile\n"
           "#   line 3: LogFacility LOG_MAIL: a syslog facility applies only to a syslog log\n"
           "#   no LocalSocket or TCPSocket: the suite's default endpoints are used\n"
           "\n[ClamD]\nLog = /var/log/c.log\nLogLevel = Debug\n",
       {}},
      {"logs: syslog with its facility",
       "LogSyslog yes\nLogFacility LOG_LOCAL3\nLogVerbose yes\nLocalSocket /run/c.sock\n",
       "\n[ClamD]\nLog = Syslog:Local3\nLogLevel = Info\n\n[ClamD.Endpoint.local]\nClamdSocket = /run/c.sock\n",
       {}},
      {"malformed lines are all named",
       "LocalSocket /run/c.sock\nStreamMaxLength\nKey=value\nLocalSocket /run/d.sock\nBad\x01 x\n",
       "",
       {"c.conf:2: StreamMaxLength: no value", "c.conf:3: not a 'Key value' line",
        "c.conf:4: LocalSocket: set again (first on line 1)", "c.conf:5: not a 'Key value' line"}},
      {"a value clamd would refuse", "StreamMaxLength 25X\n", "",
       {"c.conf:1: StreamMaxLength: bad number '25X': use a whole decimal number"}},
      {"a relative socket", "LocalSocket c.sock\n", "", {"c.conf:1: LocalSocket: not an absolute path"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out;
    std::vector<std::string> errors;
    try {
      out = wd_import_clamd_conf(c.clamd_conf, "c.conf");
    } catch (const wd_config_error_t& e) {
      for (const auto& issue : e.issues()) errors.push_back(issue.text());
    }
    EXPECT_EQ(errors, c.errors);
    if (!c.errors.empty()) continue;
    ASSERT_EQ(out.compare(0, sizeof header - 1, header), 0) << out;
    EXPECT_EQ(out.substr(sizeof header - 1), c.expected);
    try {
      const auto file = wd_ini_file_t::parse(out, "vemra.conf");
      wd_resolve_settings(&file, wd_options_t());
    } catch (const wd_config_error_t& e) {
      ADD_FAILURE() << e.what() << "\n" << out;
    }
  }
}

}  // namespace
