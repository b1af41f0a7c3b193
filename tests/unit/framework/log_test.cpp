// The process-wide log keeps global state, so tests that install sinks run
// in a child process (death-test style) and report through stderr and the
// exit status.
#include <fcntl.h>
#include <stdlib.h>
#include <syslog.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "console_log.h"
#include "file_log.h"
#include "log.h"
#include "log_factory.h"
#include "syslog_log.h"

namespace {

class capture_log_t : public cf_log_t {
public:
  explicit capture_log_t(callback_t extra = {}) : cf_log_t(std::move(extra)) {}
  void open() override { ++opened; }
  void write(level_t level, const std::string& message) override {
    lines << cflog::level_name(level) << ": " << message << "|";
  }
  void out_of_memory() override { lines << "OOM|"; }
  std::ostringstream lines;
  int opened = 0;
};

std::string read_all(int fd) {
  std::string s;
  char buffer[256];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    s.append(buffer, static_cast<size_t>(n));
  }
  return s;
}

struct temp_dir_t {
  temp_dir_t() : path(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("vemra-log-%%%%%%")) {
    boost::filesystem::create_directories(path);
  }
  ~temp_dir_t() { boost::filesystem::remove_all(path); }
  boost::filesystem::path path;
};

// Exits 0 when cond holds, else prints what was seen and exits 1.
void check_in_child(bool cond, const std::string& seen) {
  if (!cond) {
    fprintf(stderr, "unexpected: %s\n", seen.c_str());
    _exit(1);
  }
}

}  // namespace

TEST(Log, LevelNamesAndSyslogPriorities) {
  EXPECT_STREQ("Debug", cflog::level_name(0));
  EXPECT_STREQ("Error", cflog::level_name(4));
  EXPECT_STREQ("Unknown", cflog::level_name(7));
  EXPECT_STREQ("Unknown", cflog::level_name(-1));
  EXPECT_EQ(LOG_DEBUG, cf_syslog_log_t::priority(cf_log_t::debug));
  EXPECT_EQ(LOG_NOTICE, cf_syslog_log_t::priority(cf_log_t::notice));
  EXPECT_EQ(LOG_ERR, cf_syslog_log_t::priority(cf_log_t::error));
  EXPECT_EQ(LOG_ERR, cf_syslog_log_t::priority(7));
  EXPECT_EQ(LOG_DAEMON, syslog_facility(vx::Log::DAEMON));
  EXPECT_EQ(LOG_USER, syslog_facility(vx::Log::USER));
  EXPECT_EQ(LOG_MAIL, syslog_facility(vx::Log::MAIL));
  EXPECT_EQ(LOG_LOCAL0, syslog_facility(vx::Log::LOCAL0));
  EXPECT_EQ(LOG_LOCAL7, syslog_facility(vx::Log::LOCAL7));
  EXPECT_EQ(LOG_DAEMON, syslog_facility(99));
}

TEST(Log, FileSinkLineFormat) {
  cf_file_log_t sink(-1, false, {});
  const std::string line = sink.format(cf_log_t::warning, "disk is full");
  const std::regex form(R"(\d{4}-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-\d{2} \d{2}:\d{2}:\d{2} \[(\d+)\] Warning: disk is full)");
  std::smatch m;
  ASSERT_TRUE(std::regex_match(line, m, form)) << line;
  EXPECT_EQ(std::to_string(getpid()), m[2].str());
}

TEST(LogDeathTest, EarlyLinesReplayIntoFirstSinkInOrderAboveThreshold) {
  EXPECT_EXIT(
      {
        cflog::log(cf_log_t::notice, "first");
        cflog::log(cf_log_t::debug, "dropped");
        cflog::log(cf_log_t::error, "second");
        cflog::log(cf_log_t::warning, "third");
        cflog::set_threshold(cf_log_t::warning);
        auto sink = std::make_shared<capture_log_t>();
        check_in_child(!cflog::is_installed(), "installed too early");
        cflog::install(sink);
        check_in_child(cflog::is_installed() && sink->opened == 1, "not installed");
        // Later lines go straight to the sink; replay happened only once.
        cflog::log(cf_log_t::error, "after");
        cflog::install(std::make_shared<capture_log_t>());
        check_in_child(sink->lines.str() == "Error: second|Warning: third|Error: after|", sink->lines.str());
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(LogDeathTest, LinesKeptWithoutSinkReachStderrAtExit) {
  EXPECT_EXIT(
      {
        cflog::log(cf_log_t::notice, "ClamD 1.2.3.4");
        cflog::log(cf_log_t::error, "something broke");
        exit(3);
      },
      ::testing::ExitedWithCode(3), "Debug: Flushing log...\nNotice: ClamD 1.2.3.4\nError: something broke\n");
  EXPECT_EXIT(
      {
        cflog::log(cf_log_t::notice, "kept");
        cflog::log(cf_log_t::info, "below");
        cflog::set_threshold(cf_log_t::notice);
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^Notice: kept\n$");
}

TEST(LogDeathTest, PipeCopyOfEveryLineButNotForStderr) {
  temp_dir_t dir;
  const std::string path = (dir.path / "daemon.log").string();
  EXPECT_EXIT(
      {
        int fds[2];
        check_in_child(pipe(fds) == 0, "pipe");
        setenv("COM_VEMRA_ADD_LOG_PIPE", std::to_string(fds[1]).c_str(), 1);
        vx::Log settings;
        settings.set_type(vx::Log::FILE);
        settings.set_path(path);
        cflog::install(make_log(settings, {}));
        CF_NOTICE("to file and pipe");
        settings.Clear();
        settings.set_type(vx::Log::STDERR);
        cflog::install(make_log(settings, {}));
        CF_WARNING("stderr only");
        close(fds[1]);
        const std::string copied = read_all(fds[0]);
        // The factory's own line is kept until the first sink exists, then
        // replayed; the second factory call logs through the file sink.
        const std::string additional = "Debug: Log Factory: Additional log - " + std::to_string(fds[1]) + "\n";
        check_in_child(copied == additional + "Notice: to file and pipe\n" + additional, copied);
        std::ifstream file(path);
        std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        check_in_child(content.find("] Notice: to file and pipe\n") != std::string::npos, content);
        check_in_child(content.find("stderr only") == std::string::npos, content);
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "^Warning: stderr only\n$");
}

TEST(LogDeathTest, BadPipeVariableIsReportedAndIgnored) {
  EXPECT_EXIT(
      {
        setenv("COM_VEMRA_ADD_LOG_PIPE", "abc", 1);
        auto sink = std::make_shared<capture_log_t>();
        vx::Log settings;
        settings.set_type(vx::Log::STDERR);
        settings.set_show_timestamp(true);
        auto made = make_log(settings, {});
        check_in_child(static_cast<bool>(std::dynamic_pointer_cast<cf_file_log_t>(made)), "timestamped stderr");
        cflog::install(sink);
        check_in_child(sink->lines.str() == "Error: Log Factory: Wrong environment variable COM_VEMRA_ADD_LOG_PIPE|",
                       sink->lines.str());
        settings.set_type(vx::Log::AUTO);
        check_in_child(!make_log(settings, {}), "AUTO gives no sink");
        _exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Log, MissingDirectoryCannotCreateLog) {
  temp_dir_t dir;
  vx::Log settings;
  settings.set_type(vx::Log::FILE);
  settings.set_path((dir.path / "missing" / "daemon.log").string());
  try {
    make_log(settings, cf_log_t::empty_callback);
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(ENOENT, e.code().value());
    EXPECT_EQ(0, std::string(e.what()).rfind("Cannot create log", 0)) << e.what();
  }
}

TEST(Log, ExistingFileIsAppendedAndCreatedPrivate) {
  temp_dir_t dir;
  const auto path = dir.path / "daemon.log";
  vx::Log settings;
  settings.set_type(vx::Log::FILE);
  settings.set_path(path.string());
  {
    auto sink = make_log(settings, cf_log_t::empty_callback);
    sink->write(cf_log_t::info, "one");
  }
  {
    auto sink = make_log(settings, cf_log_t::empty_callback);
    sink->write(cf_log_t::info, "two");
  }
  std::ifstream file(path.string());
  std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_NE(std::string::npos, content.find("Info: one\n"));
  EXPECT_NE(std::string::npos, content.find("Info: two\n"));
  EXPECT_EQ(boost::filesystem::owner_read | boost::filesystem::owner_write,
            boost::filesystem::status(path).permissions());
}
