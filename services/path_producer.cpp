#include "path_producer.h"

#include <dirent.h>
#include <errno.h>

#include <boost/asio/post.hpp>
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

namespace {

// Closes a directory stream however the walk through it ends: stop()
// interrupts the walk with an exception.
struct dir_closer_t {
  void operator()(DIR* dir) const { ::closedir(dir); }
};

// The entry's own type: a link is never followed, to a file or to a
// directory, so no walk can loop or leave the tree. The type readdir
// gives spares the lstat per file that a bare walk does not make either;
// file systems that do not give it are asked.
fs::file_type entry_type(const struct dirent& entry, const fs::path& path, boost::system::error_code& ec) {
  switch (entry.d_type) {
    case DT_REG: return fs::regular_file;
    case DT_DIR: return fs::directory_file;
    case DT_UNKNOWN: return fs::symlink_status(path, ec).type();
    default: return fs::type_unknown;
  }
}

bool is_dot_or_dot_dot(const char* name) {
  return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

}  // namespace

void cl_path_producer_t::walk(const fs::path& directory, walk_t& state) {
  boost::this_thread::interruption_point();
  const std::unique_ptr<DIR, dir_closer_t> dir(::opendir(directory.c_str()));
  if (!dir) {
    const boost::system::error_code ec(errno, boost::system::system_category());
    CF_WARNING("Skipped dir: " << directory << ": " << ec.message());
    return;
  }
  // A read error ends this directory's listing, as the end does.
  while (const struct dirent* entry = ::readdir(dir.get())) {
    if (is_dot_or_dot_dot(entry->d_name)) continue;
    fs::path path = directory / entry->d_name;
    boost::system::error_code status_ec;
    const fs::file_type type = entry_type(*entry, path, status_ec);
    if (!status_ec && type == fs::regular_file) {
      state.paths.push_back(std::move(path));
      if (state.paths.size() >= batch_size) emit(state);
    } else if (!status_ec && type == fs::directory_file) {
      walk(path, state);
    } else {
      CF_DEBUG("Skipped non-regular file: " << path);
    }
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
