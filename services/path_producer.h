#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/filesystem/path.hpp>
#include <boost/system/error_code.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>

// Expands the root path of a scan into the regular files below it, on a
// thread of its own so that a large tree never stalls the event loop.
// Files reach the delegate in batches, always on the event-loop thread.
// Symbolic links below the root are never followed; the root itself is.
class cl_path_producer_t {
public:
  // Receives what the producer finds; every call runs on the event loop.
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // A batch of files of the job; last is set on the job's final batch
    // (which may be empty).
    virtual void on_paths(std::uint32_t job, std::vector<boost::filesystem::path>&& paths, bool last) = 0;
    // The job ends without a final batch: the root held nothing to scan
    // (empty error) or expanding it failed. produced tells whether batches
    // were delivered before.
    virtual void on_task_error(std::uint32_t job, const boost::filesystem::path& root,
                               const boost::system::error_code& error, bool produced) = 0;
  };

  // Paths per batch: a batch leaves once it holds more than 4,096.
  static constexpr std::size_t batch_size = 4097;

  // Deliveries are posted to io. No thread runs until the first task.
  explicit cl_path_producer_t(boost::asio::io_context& io) : io_(io) {}
  ~cl_path_producer_t();
  cl_path_producer_t(const cl_path_producer_t&) = delete;
  cl_path_producer_t& operator=(const cl_path_producer_t&) = delete;

  // Sets the receiver of later deliveries; the producer never keeps it
  // alive except for the duration of one posted call.
  void set_delegate(std::weak_ptr<delegate_t> delegate);
  // Queues the expansion of root for job, starting the thread if needed.
  // Throws boost::thread_resource_error when no thread can be started.
  void add_task(std::uint32_t job, const boost::filesystem::path& root);
  // Interrupts and joins the thread and drops queued tasks. A later
  // add_task starts a new thread.
  void stop();

private:
  struct task_t {
    std::uint32_t job;
    boost::filesystem::path root;
  };
  // What one task carries through the walk.
  struct walk_t {
    std::uint32_t job;
    std::weak_ptr<delegate_t> delegate;
    std::vector<boost::filesystem::path> paths;
    bool produced = false;
  };

  void worker();
  void produce(const task_t& task, std::weak_ptr<delegate_t> delegate);
  void walk(const boost::filesystem::path& directory, walk_t& state);
  void emit(walk_t& state);
  void post_paths(walk_t& state, bool last);
  void post_error(walk_t& state, const boost::filesystem::path& root, const boost::system::error_code& error);

  boost::mutex mutex_;
  boost::condition_variable wake_up_;
  boost::thread thread_;
  std::deque<task_t> tasks_;
  boost::asio::io_context& io_;
  std::weak_ptr<delegate_t> delegate_;
};
