#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "path_producer.h"
#include "run_until.h"
#include "temp_dir.h"

namespace fs = boost::filesystem;

namespace {

// Each delivery as a line: "job path... last", "job <n> paths" for a large
// batch, "job error <category:value>|none [produced]".
struct recorder_t : cl_path_producer_t::delegate_t {
  explicit recorder_t(std::string base) : base(std::move(base)) {}
  void on_paths(std::uint32_t job, std::vector<fs::path>&& paths, bool last) override {
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(p.string().substr(base.size()));
    std::sort(names.begin(), names.end());  // directories yield in no set order
    std::string line = std::to_string(job);
    if (names.size() > 3) names = {std::to_string(names.size()) + " paths"};
    for (const auto& name : names) line += " " + name;
    record(line + (last ? " last" : ""), last);
  }
  void on_task_error(std::uint32_t job, const fs::path&, const boost::system::error_code& error,
                     bool produced) override {
    const std::string code = error ? std::string(error.category().name()) + ":" + std::to_string(error.value()) : "none";
    record(std::to_string(job) + " error " + code + (produced ? " produced" : ""), true);
  }
  void record(const std::string& line, bool final) {
    on_loop_thread = on_loop_thread && std::this_thread::get_id() == loop_thread;
    lines.push_back(line);
    finished += final;
  }

  std::string base;
  std::thread::id loop_thread = std::this_thread::get_id();
  bool on_loop_thread = true;
  std::vector<std::string> lines;
  int finished = 0;
};

class PathProducer : public ::testing::Test {
protected:
  void SetUp() override {
    cflog::install(log);
    producer.set_delegate(recorder);
  }
  // Queues tasks and runs the loop until each delivered its final call.
  std::vector<std::string> expand(const std::vector<std::string>& roots) {
    recorder->lines.clear();
    recorder->finished = 0;
    std::uint32_t job = 1;
    for (const auto& root : roots) producer.add_task(job++, dir.path() + root);
    EXPECT_TRUE(run_until(io, [&] { return recorder->finished == static_cast<int>(roots.size()); }));
    EXPECT_TRUE(recorder->on_loop_thread);
    return recorder->lines;
  }
  bool logged(const std::string& line) const {
    const auto lines = log->lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  std::shared_ptr<captured_log_t> log = std::make_shared<captured_log_t>();
  temp_dir_t dir;
  boost::asio::io_context io;
  std::shared_ptr<recorder_t> recorder = std::make_shared<recorder_t>(dir.path());
  cl_path_producer_t producer{io};
};

using lines_t = std::vector<std::string>;

}  // namespace

TEST_F(PathProducer, ExpandsEachKindOfRoot) {
  const std::string d = dir.path();
  dir.write("real/a", "a");
  dir.write("real/sub/b", "b");
  fs::create_directories(d + "/real/empty/inner");
  fs::create_symlink(d + "/real/a", d + "/real/link_to_file");
  fs::create_directory_symlink(d + "/real/sub", d + "/real/link_to_dir");
  fs::create_directory_symlink(d + "/real", d + "/root_link");
  ASSERT_EQ(0, ::mkfifo((d + "/fifo").c_str(), 0600));

  const struct {
    std::string root;
    std::string delivery;
    lines_t log_lines;
  } cases[] = {
      // The root is followed when it is a link; links inside are not.
      {"/root_link",
       "1 /root_link/a /root_link/sub/b last",
       {"Debug: Skipped non-regular file: \"" + d + "/root_link/link_to_dir\"",
        "Debug: Skipped non-regular file: \"" + d + "/root_link/link_to_file\""}},
      {"/real/a", "1 /real/a last", {}},
      // Any other kind of root goes to the scanner as it is.
      {"/fifo", "1 /fifo last", {}},
      {"/real/empty", "1 error none", {}},
      {"/missing", "1 error vx.Error:23", {"Error: Error producing paths for \"" + d + "/missing\": File not found"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    EXPECT_EQ(lines_t{c.delivery}, expand({c.root}));
    for (const auto& line : c.log_lines) EXPECT_TRUE(logged(line)) << line;
  }
}

TEST_F(PathProducer, FullBatchesHold4097PathsAndTasksStayInOrder) {
  const std::string first = dir.write("big/f0", "");
  for (int i = 1; i < 4097; ++i) {
    const std::string name = first.substr(0, first.size() - 1) + std::to_string(i);
    ::close(::open(name.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
  }
  dir.write("small", "");
  EXPECT_EQ((lines_t{"1 4097 paths", "1 last", "2 /small last"}), expand({"/big", "/small"}));
  // A stopped producer starts a new thread for the next task.
  producer.stop();
  EXPECT_EQ(lines_t{"1 /small last"}, expand({"/small"}));
}

TEST_F(PathProducer, UnreadableDirectoryIsSkippedAndTheWalkGoesOn) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads any directory";
  dir.write("root/a", "");
  dir.write("root/locked/x", "");
  dir.write("root/z/y", "");
  ASSERT_EQ(0, ::chmod((dir.path() + "/root/locked").c_str(), 0));
  EXPECT_EQ(lines_t{"1 /root/a /root/z/y last"}, expand({"/root"}));
  EXPECT_TRUE(logged("Warning: Skipped dir: \"" + dir.path() + "/root/locked\": Permission denied"));
}
