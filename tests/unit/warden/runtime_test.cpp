#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "frames.h"
#include "run_until.h"
#include "text_message.h"
#include "thrown.h"
#include "wd_child.h"
#include "wd_clamd_link.h"
#include "wd_log_collector.h"
#include "wd_service_link.h"
#include "wd_spawn.h"

namespace {

struct fixed_source_t : wd_config_source_t {
  const wd_settings_t& settings() const override { return settings_; }
  std::uint32_t revision() const override { return 1; }
  vx::AppInfo root_appinfo() const override { return vx::AppInfo(); }
  wd_settings_t settings_;
};

// Each process reports its own counts from zero; the totals only grow.
TEST(WardenRuntime, ScanCountsAddUpOverProcessesAndNeverGoBack) {
  const auto stat = &parse_text<vx::ServiceStat>;
  wd_scan_counts_t totals, first, second;
  EXPECT_TRUE(wd_add_report(totals, first, stat("scans: 2 detections: 1 errors: 0 bytes: 100")));
  EXPECT_TRUE(wd_add_report(totals, first, stat("scans: 5 detections: 1 errors: 1 bytes: 300")));
  EXPECT_FALSE(wd_add_report(totals, first, stat("scans: 6 detections: 1 errors: 0 bytes: 400")));
  EXPECT_TRUE(wd_add_report(totals, second, stat("scans: 1 detections: 0 errors: 0 bytes: 7")));
  EXPECT_EQ(std::vector<std::uint64_t>({totals.scans, totals.detections, totals.errors, totals.bytes}),
            std::vector<std::uint64_t>({6, 1, 1, 307}));
}

TEST(WardenRuntime, HowAProcessEnded) {
  EXPECT_EQ(wd_exit_text(102 << 8) + ", " + wd_exit_text(0) + ", " + wd_exit_text(200 << 8) + ", " +
                wd_exit_text(SIGKILL) + ", " + wd_exit_text(SIGSEGV | WCOREFLAG),
            "status 102 (Invalid configuration), status 0 (Success), status 200 (200), signal 9 (Killed), "
            "signal 11 (Segmentation fault, core dumped)");
  std::string durations;
  for (long ms : {-5L, 350L, 12999L, 303000L, 3720000L})
    durations += wd_duration_text(std::chrono::milliseconds(ms)) + " ";
  EXPECT_EQ(durations, "0ms 350ms 12s 5m03s 1h02m ");
}

TEST(WardenRuntime, AProgramThatCannotRunIsReportedByTheStart) {
  EXPECT_EQ(thrown([] { wd_spawn("/nonexistent/vemra-clamd", {"--socket", "/x"}, {}, wd_child_environment({})); }),
            "execute /nonexistent/vemra-clamd: No such file or directory [system:2]");
  // Nothing is left to reap.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
}

TEST(WardenRuntime, ChildrenDoNotSeeHowWardenWasStarted) {
  setenv("COM_VEMRA_MONITOR", "9", 1);
  const auto env = wd_child_environment({"COM_VEMRA_MONITOR=3"});
  unsetenv("COM_VEMRA_MONITOR");
  int monitors = 0;
  for (const auto& var : env) monitors += var.compare(0, 18, "COM_VEMRA_MONITOR=") == 0;
  EXPECT_EQ(monitors, 1);
  EXPECT_EQ(env.back(), "COM_VEMRA_MONITOR=3");
}

TEST(WardenRuntime, CollectedLogLinesKeepTheirLevelAndAreBounded) {
  auto sink = std::make_shared<captured_log_t>();
  cflog::install(sink);
  cflog::set_threshold(cf_log_t::debug);

  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const std::string long_line(wd_log_collector_t::max_line + 100, 'x');
  const std::string text = "Warning: disk\nDebug: detail\nno level\nError:missing space\n" + long_line +
                           "\nNotice: after\nInfo: last, unterminated";
  boost::asio::io_context io;
  auto collector = std::make_shared<wd_log_collector_t>(io, fds[0], "ClamD", 42);
  collector->start();
  // Written in small pieces, so lines arrive split across reads.
  for (std::size_t at = 0; at < text.size(); at += 7)
    ASSERT_GT(write(fds[1], text.data() + at, std::min<std::size_t>(7, text.size() - at)), 0);
  close(fds[1]);
  io.run();

  cflog::install(std::make_shared<captured_log_t>());
  EXPECT_EQ(sink->lines(), (std::vector<std::string>{
                             "Warning: ClamD[42]: disk",
                             "Debug: ClamD[42]: detail",
                             "Notice: ClamD[42]: no level",
                             "Notice: ClamD[42]: Error:missing space",
                             "Notice: ClamD[42]: " + std::string(wd_log_collector_t::max_line, 'x') + "...",
                             "Notice: ClamD[42]: after",
                             "Info: ClamD[42]: last, unterminated",
                         }));
}

// A daemon that ends, however its socket shows it, is left to the reaper,
// which reports its own exit status; only one that breaks the exchange is
// recycled. Each row leaves the daemon's end in some state; then Warden
// writes to it.
TEST(WardenRuntime, DaemonEndingIsToldFromABrokenLink) {
  const struct {
    const char* name;
    int (*act)(int peer);
    bool recycled;
  } rows[] = {
      {"end of file", [](int peer) { return shutdown(peer, SHUT_WR); }, false},
      {"broken pipe", [](int peer) { return shutdown(peer, SHUT_RD); }, false},
      {"a frame of length 0", [](int peer) { return write(peer, "\0\0\0\0", 4) == 4 ? 0 : -1; }, true},
  };
  const fixed_source_t source;
  for (const auto& row : rows) {
    auto sink = std::make_shared<captured_log_t>();
    cflog::install(sink);
    const auto fds = socket_pair();
    boost::asio::io_context io;
    int recycled = 0;
    auto link = wd_clamd_link_t::create(io, fds[0], 42, source, [&] { ++recycled; });
    ASSERT_EQ(row.act(fds[1]), 0) << row.name;
    link->push_config();
    EXPECT_TRUE(run_until(io, [&] { return !link->is_open(); })) << row.name;
    EXPECT_EQ(recycled, row.recycled ? 1 : 0) << row.name;
    EXPECT_EQ(sink->contains("restarting the daemon"), row.recycled) << row.name;
    close(fds[1]);
  }
  cflog::install(std::make_shared<captured_log_t>());
}

}  // namespace
