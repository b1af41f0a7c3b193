#include "path_producer.h"

#include <boost/asio/post.hpp>
#include <boost/filesystem/directory.hpp>
#include <boost/filesystem/operations.hpp>

#include "exception_mapping.h"
#include "log.h"
#include "proto_exception.h"

namespace fs = boost::filesystem;

cl_path_producer_t::~cl_path_producer_t() {
  stop();
  delegate_.reset();
}

void cl_path_producer_t::set_delegate(std::weak_ptr<delegate_t> delegate) {
  boost::lock_guard<boost::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

void cl_path_producer_t::add_task(std::uint32_t job, const fs::path& root) {
  if (!thread_.joinable()) thread_ = boost::thread([this] { worker(); });
  boost::lock_guard<boost::mutex> lock(mutex_);
  tasks_.push_back({job, root});
  wake_up_.notify_one();
}

void cl_path_producer_t::stop() {
  if (thread_.joinable()) {
    thread_.interrupt();
    thread_.join();
  }
  boost::lock_guard<boost::mutex> lock(mutex_);
  tasks_.clear();
}

void cl_path_producer_t::worker() {
  // Ends only by interruption, at the queue wait or inside a walk: the
  // thread_interrupted exception is not a std::exception, so no task
  // handler below catches it.
  for (;;) {
    task_t task;
    std::weak_ptr<delegate_t> delegate;
    {
      boost::unique_lock<boost::mutex> lock(mutex_);
      while (tasks_.empty()) wake_up_.wait(lock);
      task = std::move(tasks_.front());
      tasks_.pop_front();
      delegate = delegate_;
    }
    produce(task, std::move(delegate));
  }
}

void cl_path_producer_t::produce(const task_t& task, std::weak_ptr<delegate_t> delegate) {
  walk_t state{task.job, std::move(delegate), {}, false};
  try {
    boost::system::error_code ec;
    const fs::file_status status = fs::status(task.root, ec);
    if (ec || !fs::exists(status)) throw cf_proto_exception_t(vx::EC_NO_SUCH_ENTRY, "File not found");
    // Anything but a directory goes to the scanner as it is, whatever its
    // kind: the scanner judges it.
    if (fs::is_directory(status))
      walk(task.root, state);
    else
      state.paths.push_back(task.root);
    if (state.paths.empty() && !state.produced)
      post_error(state, task.root, boost::system::error_code());
    else
      post_paths(state, true);
  } catch (const std::exception& e) {
    CF_ERROR("Error producing paths for " << task.root << ": " << exception_text(e));
    post_error(state, task.root, exception_error_code(e));
  }
}

void cl_path_producer_t::walk(const fs::path& directory, walk_t& state) {
  boost::this_thread::interruption_point();
  boost::system::error_code ec;
  fs::directory_iterator it(directory, ec);
  if (ec) {
    CF_WARNING("Skipped dir: " << directory << ": " << ec.message());
    return;
  }
  for (const fs::directory_iterator end; it != end;) {
    // The entry's own status: a link is never followed, to a file or to a
    // directory, so no walk can loop or leave the tree.
    boost::system::error_code status_ec;
    const fs::file_type type = it->symlink_status(status_ec).type();
    if (!status_ec && type == fs::regular_file) {
      state.paths.push_back(it->path());
      if (state.paths.size() >= batch_size) emit(state);
    } else if (!status_ec && type == fs::directory_file) {
      walk(it->path(), state);
    } else {
      CF_DEBUG("Skipped non-regular file: " << it->path());
    }
    it.increment(ec);
    if (ec) break;
  }
}

void cl_path_producer_t::emit(walk_t& state) {
  post_paths(state, false);
  state.paths.clear();
  state.produced = true;
  // A flat directory of a million files has no subdirectory to stop at;
  // each batch is a point where stop() can end the walk as well.
  boost::this_thread::interruption_point();
}

void cl_path_producer_t::post_paths(walk_t& state, bool last) {
  auto delegate = state.delegate.lock();
  if (!delegate) return;
  // The delegate reference moves into the call: were it dropped here after
  // the loop thread released everything else, the delegate (which owns
  // this producer) would be destroyed on this thread and join itself.
  boost::asio::post(io_, [delegate = std::move(delegate), job = state.job, paths = std::move(state.paths),
                          last]() mutable { delegate->on_paths(job, std::move(paths), last); });
}

void cl_path_producer_t::post_error(walk_t& state, const fs::path& root, const boost::system::error_code& error) {
  auto delegate = state.delegate.lock();
  if (!delegate) return;
  boost::asio::post(io_, [delegate = std::move(delegate), job = state.job, root, error, produced = state.produced] {
    delegate->on_task_error(job, root, error, produced);
  });
}
