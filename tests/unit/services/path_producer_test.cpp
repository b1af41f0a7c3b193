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

using lines_t = std::vector<std::string>;

// Each delivery as a line: "job path... last", "job <n> paths" for a large
// batch, "job error <category:value>|none [produced]".
struct recorder_t : cl_path_producer_t::delegate_t {
  void on_paths(std::uint32_t job, std::vector<fs::path>&& paths, bool last) override {
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(p.string().substr(base.size()));
    std::sort(names.begin(), names.end());  // directories yield in no set order
    if (names.size() > 3) names = {std::to_string(names.size()) + " paths"};
    std::string line = std::to_string(job);
    for (const auto& name : names) line += " " + name;
    record(line + (last ? " last" : ""), last);
  }
  void on_task_error(std::uint32_t job, const fs::path&, const boost::system::error_code& error,
                     bool produced) override {
    const std::string code = error ? error.category().name() + (":" + std::to_string(error.value())) : "none";
    record(std::to_string(job) + " error " + code + (produced ? " produced" : ""), true);
  }
  void record(const std::string& line, bool final) {
    EXPECT_EQ(loop_thread, std::this_thread::get_id()) << "delivered off the loop";
    lines.push_back(line);
    finished += final;
  }

  std::string base;
  std::thread::id loop_thread = std::this_thread::get_id();
  lines_t lines;
  std::size_t finished = 0;
};

class PathProducer : public ::testing::Test {
protected:
  void SetUp() override {
    cflog::install(log);
    recorder->base = dir.path();
    producer.set_delegate(recorder);
  }
  // Queues tasks and runs the loop until each delivered its final call.
  lines_t expand(const lines_t& roots) {
    recorder->lines.clear();
    recorder->finished = 0;
    std::uint32_t job = 1;
    for (const auto& root : roots) producer.add_task(job++, dir.path() + root);
    EXPECT_TRUE(run_until(io, [&] { return recorder->finished == roots.size(); }));
    return recorder->lines;
  }

  std::shared_ptr<captured_log_t> log = std::make_shared<captured_log_t>();
  temp_dir_t dir;
  boost::asio::io_context io;
  std::shared_ptr<recorder_t> recorder = std::make_shared<recorder_t>();
  cl_path_producer_t producer{io};
};

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

  const std::pair<std::string, std::string> cases[] = {
      // The root is followed when it is a link; links inside are not.
      {"/root_link", "1 /root_link/a /root_link/sub/b last"},
      {"/real/a", "1 /real/a last"},
      // Any other kind of root goes to the scanner as it is.
      {"/fifo", "1 /fifo last"},
      {"/real/empty", "1 error none"},
      {"/missing", "1 error vx.Error:23"},
  };
  for (const auto& c : cases) EXPECT_EQ(lines_t{c.second}, expand({c.first})) << c.first;
  EXPECT_TRUE(log->contains("Error: Error producing paths for \"" + d + "/missing\": File not found"));
}

TEST_F(PathProducer, FullBatchesHold4097PathsAndTasksStayInOrder) {
  for (int i = 0; i < 4097; ++i) dir.write("big/f" + std::to_string(i), "");
  dir.write("small", "");
  EXPECT_EQ((lines_t{"1 4097 paths", "1 last", "2 /small last"}), expand({"/big", "/small"}));
  // A stopped producer starts a new thread for the next task.
  producer.stop();
  EXPECT_EQ(lines_t{"1 /small last"}, expand({"/small"}));
}

TEST_F(PathProducer, UnreadableDirectoryIsSkippedAndTheWalkGoesOn) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads any directory";
  for (const char* name : {"root/a", "root/locked/x", "root/z/y"}) dir.write(name, "");
  ASSERT_EQ(0, ::chmod((dir.path() + "/root/locked").c_str(), 0));
  EXPECT_EQ(lines_t{"1 /root/a /root/z/y last"}, expand({"/root"}));
  EXPECT_TRUE(log->contains("Warning: Skipped dir: \"" + dir.path() + "/root/locked\": Permission denied"));
}
