// The process-wide log keeps global state, so tests that install sinks run
// in a child process (death-test style) and report through stderr and the
// exit status.
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "file_log.h"
#include "log.h"
#include "log_factory.h"
#include "syslog_log.h"
#include "temp_dir.h"
#include "text_message.h"

namespace {

// In a child: shows what a sink kept on stderr, for the parent to match.
void print(const std::vector<std::string>& lines) {
  for (const auto& line : lines) fprintf(stderr, "%s\n", line.c_str());
}

std::string read_fd(int fd) {
  std::string s;
  char buffer[256];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) s.append(buffer, static_cast<size_t>(n));
  return s;
}

}  // namespace

TEST(Log, ValuesOutsideTheirRange) {
  EXPECT_STREQ("Unknown", cflog::level_name(7));
  EXPECT_STREQ("Unknown", cflog::level_name(-1));
  EXPECT_EQ(LOG_ERR, cf_syslog_log_t::priority(7));
  EXPECT_EQ(LOG_DAEMON, syslog_facility(99));
}

TEST(LogDeathTest, PipeCopyOfEveryLineButNotForStderr) {
  const std::string additional = "Debug: Log Factory: Additional log - [0-9]+\n";
  const std::string notice = "Notice: to file and pipe\n";
  const std::string stamp = "[0-9]{4}-[A-Z][a-z]{2}-[0-9]{2} [0-9:]{8} \\[[0-9]+\\] ";
  temp_dir_t dir;
  // An existing log is appended to, not replaced.
  const std::string path = dir.write("daemon.log", "old\n");
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe(fds) != 0) _exit(2);
        setenv("COM_VEMRA_ADD_LOG_PIPE", std::to_string(fds[1]).c_str(), 1);
        cflog::install(make_log(parse_text<vx::Log>("type: FILE path: '" + path + "'"), {}));
        CF_NOTICE("to file and pipe");
        cflog::install(make_log(parse_text<vx::Log>("type: STDERR"), {}));
        CF_WARNING("stderr only");
        close(fds[1]);
        fprintf(stderr, "pipe:\n%s", read_fd(fds[0]).c_str());
        std::stringstream file;
        file << std::ifstream(path).rdbuf();
        fprintf(stderr, "file:\n%s", file.str().c_str());
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      // The factory's own line is kept until the first sink exists, then
      // replayed; the second factory call logs through the file sink.
      "^Warning: stderr only\npipe:\n" + additional + notice + additional +
          "file:\nold\n" + stamp + additional + stamp + notice + stamp + additional + "$");
}

TEST(LogDeathTest, BadPipeVariableIsReportedAndIgnored) {
  EXPECT_EXIT(
      {
        setenv("COM_VEMRA_ADD_LOG_PIPE", "abc", 1);
        auto made = make_log(parse_text<vx::Log>("type: STDERR show_timestamp: true"), {});
        fprintf(stderr, "%s\n", std::dynamic_pointer_cast<cf_file_log_t>(made) ? "timestamped" : "plain");
        auto sink = std::make_shared<captured_log_t>();
        cflog::install(sink);
        fprintf(stderr, "%s\n", make_log(parse_text<vx::Log>("type: AUTO"), {}) ? "a sink" : "no sink");
        print(sink->lines());
        _exit(0);
      },
      ::testing::ExitedWithCode(0),
      "^timestamped\nno sink\n"
      "Error: Log Factory: Wrong environment variable COM_VEMRA_ADD_LOG_PIPE\n"
      "Error: Log Factory: Wrong environment variable COM_VEMRA_ADD_LOG_PIPE\n$");
}
