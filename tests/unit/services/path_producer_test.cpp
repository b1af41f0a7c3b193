#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <thread>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "path_producer.h"
#include "proto_error_category.h"
#include "run_until.h"
#include "temp_dir.h"

namespace fs = boost::filesystem;

namespace {

// Records every delivery, and on which thread it ran.
struct recorder_t : cl_path_producer_t::delegate_t {
  struct delivery_t {
    std::uint32_t job;
    std::vector<std::string> paths;  // sorted: directories yield in no set order
    bool last;  // the job's final call, either kind
    bool task_error;
    boost::system::error_code error;
    bool produced;
  };

  void on_paths(std::uint32_t job, std::vector<fs::path>&& paths, bool last) override {
    std::vector<std::string> names;
    for (const auto& p : paths) names.push_back(p.string());
    std::sort(names.begin(), names.end());
    record({job, names, last, false, {}, false});
  }
  void on_task_error(std::uint32_t job, const fs::path& root, const boost::system::error_code& error,
                     bool produced) override {
    record({job, {root.string()}, true, true, error, produced});
  }
  void record(delivery_t d) {
    on_loop_thread = on_loop_thread && std::this_thread::get_id() == loop_thread;
    deliveries.push_back(std::move(d));
  }
  std::size_t finished() const {
    return static_cast<std::size_t>(
        std::count_if(deliveries.begin(), deliveries.end(), [](const delivery_t& d) { return d.last; }));
  }

  std::thread::id loop_thread = std::this_thread::get_id();
  bool on_loop_thread = true;
  std::vector<delivery_t> deliveries;
};

struct PathProducer : ::testing::Test {
  void SetUp() override { cflog::install(log); }

  // Runs one task to its final delivery.
  std::vector<recorder_t::delivery_t> expand(const std::string& root) {
    recorder->deliveries.clear();
    producer.add_task(7, root);
    EXPECT_TRUE(run_until(io, [&] { return recorder->finished() == 1; }));
    EXPECT_TRUE(recorder->on_loop_thread);
    return recorder->deliveries;
  }

  std::shared_ptr<captured_log_t> log = std::make_shared<captured_log_t>();
  temp_dir_t dir;
  boost::asio::io_context io;
  std::shared_ptr<recorder_t> recorder = std::make_shared<recorder_t>();
  cl_path_producer_t producer{io};
};

std::string quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace

TEST_F(PathProducer, ExpandsEachKindOfRoot) {
  producer.set_delegate(recorder);
  const std::string d = dir.path();
  dir.write("real/a", "a");
  dir.write("real/sub/b", "b");
  dir.write("real/empty/inner/.keep", "");
  fs::remove(d + "/real/empty/inner/.keep");
  fs::create_symlink(d + "/real/a", d + "/real/link_to_file");
  fs::create_directory_symlink(d + "/real/sub", d + "/real/link_to_dir");
  fs::create_directory_symlink(d + "/real", d + "/root_link");
  ASSERT_EQ(0, ::mkfifo((d + "/fifo").c_str(), 0600));

  const boost::system::error_code none;
  const struct {
    std::string root;
    std::vector<std::string> paths;  // of the one final delivery
    bool task_error;
    boost::system::error_code error;
    std::vector<std::string> log_lines;
  } cases[] = {
      // The root is followed when it is a link; links inside are not.
      {d + "/root_link",
       {d + "/root_link/a", d + "/root_link/sub/b"},
       false,
       none,
       {"Debug: Skipped non-regular file: " + quoted(d + "/root_link/link_to_dir"),
        "Debug: Skipped non-regular file: " + quoted(d + "/root_link/link_to_file")}},
      {d + "/real/a", {d + "/real/a"}, false, none, {}},
      // Any other kind of root goes to the scanner as it is.
      {d + "/fifo", {d + "/fifo"}, false, none, {}},
      {d + "/real/empty", {d + "/real/empty"}, true, none, {}},
      {d + "/missing",
       {d + "/missing"},
       true,
       vx::make_error_code(vx::EC_NO_SUCH_ENTRY),
       {"Error: Error producing paths for " + quoted(d + "/missing") + ": File not found"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.root);
    const auto got = expand(c.root);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(7u, got[0].job);
    EXPECT_EQ(c.paths, got[0].paths);
    EXPECT_EQ(c.task_error, got[0].task_error);
    EXPECT_EQ(c.error, got[0].error);
    EXPECT_FALSE(got[0].produced);
    const auto lines = log->lines();
    for (const auto& line : c.log_lines) EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), line)) << line;
  }
}

TEST_F(PathProducer, FullBatchesHold4097PathsAndTasksStayInOrder) {
  producer.set_delegate(recorder);
  for (int i = 0; i < 4097; ++i) dir.write("big/f" + std::to_string(i), "");
  const std::string small = dir.write("small", "");

  producer.add_task(1, dir.path() + "/big");
  producer.add_task(2, small);
  ASSERT_TRUE(run_until(io, [&] { return recorder->finished() == 2; }));
  const auto& got = recorder->deliveries;
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ(1u, got[0].job);
  EXPECT_EQ(4097u, got[0].paths.size());
  EXPECT_FALSE(got[0].last);
  EXPECT_EQ(1u, got[1].job);
  EXPECT_TRUE(got[1].paths.empty());
  EXPECT_TRUE(got[1].last);
  EXPECT_FALSE(got[1].task_error);
  EXPECT_EQ(2u, got[2].job);

  // A stopped producer starts a new thread for the next task.
  producer.stop();
  EXPECT_EQ(1u, expand(small).size());
}

TEST_F(PathProducer, UnreadableDirectoryIsSkippedAndTheWalkGoesOn) {
  if (::geteuid() == 0) GTEST_SKIP() << "the superuser reads any directory";
  producer.set_delegate(recorder);
  const std::string a = dir.write("root/a", "");
  dir.write("root/locked/x", "");
  const std::string z = dir.write("root/z/y", "");
  const std::string locked = dir.path() + "/root/locked";
  ASSERT_EQ(0, ::chmod(locked.c_str(), 0));

  const auto got = expand(dir.path() + "/root");
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ((std::vector<std::string>{a, z}), got[0].paths);
  EXPECT_TRUE(log->contains("Warning: Skipped dir: " + quoted(locked) + ": Permission denied"));
}

TEST_F(PathProducer, NothingIsPostedForADelegateThatIsGone) {
  producer.set_delegate(recorder);
  std::weak_ptr<recorder_t> weak = recorder;
  recorder.reset();
  producer.add_task(1, dir.write("f", ""));
  producer.add_task(2, dir.path() + "/missing");
  // The second task logs after the first one would have been posted; the
  // loop under test is not run meanwhile, so anything posted waits in it.
  boost::asio::io_context idle;
  ASSERT_TRUE(run_until(idle, [&] { return log->contains("Error producing paths"); }));
  EXPECT_EQ(0u, io.poll());
  EXPECT_TRUE(weak.expired());
}
