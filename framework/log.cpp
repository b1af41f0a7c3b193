#include "log.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

namespace {

const char oom_notice[] = "Error: Not enough memory\n";

enum mode_t_ { mode_buffering = 0, mode_sink = 1, mode_stderr = 2 };

struct log_state_t {
  std::mutex lock;
  std::atomic<int> threshold{cf_log_t::debug};
  int mode = mode_buffering;
  std::shared_ptr<cf_log_t> sink;
  std::vector<std::pair<cf_log_t::level_t, std::string>> early;
};

log_state_t& state() {
  // Never destroyed: threads still logging during exit find it intact.
  static log_state_t* s = new log_state_t;
  return *s;
}

// At exit: lines kept because no sink was ever installed go to stderr.
struct log_static_guard_t {
  ~log_static_guard_t() {
    auto& s = state();
    std::vector<std::pair<cf_log_t::level_t, std::string>> early;
    {
      std::lock_guard<std::mutex> guard(s.lock);
      s.mode = mode_stderr;
      early.swap(s.early);
    }
    if (early.empty()) return;
    try {
      if (cf_log_t::debug >= cflog::threshold()) cflog::log(cf_log_t::debug, "Flushing log...");
      for (const auto& line : early) cflog::log(line.first, line.second);
    } catch (...) {
    }
  }
} log_static_guard;

bool stderr_is_journal() noexcept {
  // The service manager names the stream it connected to stderr by device
  // and inode; a stderr redirected since then is no longer that stream.
  static const bool journal = [] {
    const char* stream = getenv("JOURNAL_STREAM");
    unsigned long long device, inode;
    char extra;
    struct stat st;
    return stream && sscanf(stream, "%llu:%llu%c", &device, &inode, &extra) == 2 && fstat(2, &st) == 0 &&
           st.st_dev == device && st.st_ino == inode;
  }();
  return journal;
}

// The journal reads a leading "<N>" as the line's syslog priority.
const char* journal_prefix(cf_log_t::level_t level) noexcept {
  if (!stderr_is_journal()) return "";
  switch (level) {
    case cf_log_t::debug: return "<7>";
    case cf_log_t::info: return "<6>";
    case cf_log_t::notice: return "<5>";
    case cf_log_t::warning: return "<4>";
    default: return "<3>";
  }
}

}  // namespace

cf_log_t::cf_log_t(callback_t extra) : extra_(extra ? std::move(extra) : callback_t(&empty_callback)) {}

cf_log_t::~cf_log_t() = default;

void cf_log_t::empty_callback(std::string) {}

namespace cflog {

const char* level_name(cf_log_t::level_t level) noexcept {
  switch (level) {
    case cf_log_t::debug: return "Debug";
    case cf_log_t::info: return "Info";
    case cf_log_t::notice: return "Notice";
    case cf_log_t::warning: return "Warning";
    case cf_log_t::error: return "Error";
    default: return "Unknown";
  }
}

std::string line_text(cf_log_t::level_t level, const std::string& message) {
  std::string line = level_name(level);
  line += ": ";
  line += message;
  return line;
}

void write_stderr(cf_log_t::level_t level, const std::string& message) {
  std::string line = journal_prefix(level);
  line += line_text(level, message);
  line += '\n';
  std::lock_guard<std::mutex> guard(state().lock);
  write_fd(2, line.data(), line.size());
}

cf_log_t::level_t threshold() noexcept { return state().threshold.load(std::memory_order_relaxed); }

void set_threshold(cf_log_t::level_t level) noexcept { state().threshold.store(level, std::memory_order_relaxed); }

void log(cf_log_t::level_t level, const std::string& message) {
  auto& s = state();
  std::shared_ptr<cf_log_t> sink;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.mode == mode_buffering) {
      s.early.emplace_back(level, message);
      return;
    }
    if (s.mode == mode_sink) sink = s.sink;
  }
  if (!sink) {
    if (level >= threshold()) write_stderr(level, message);
    return;
  }
  // The local reference keeps the sink alive even if another thread
  // installs a new one meanwhile.
  sink->write(level, message);
  std::string copy = line_text(level, message);
  std::lock_guard<std::mutex> guard(s.lock);
  sink->extra()(std::move(copy));
}

void install(std::shared_ptr<cf_log_t> sink) {
  auto& s = state();
  // Opened before it is published, so no thread writes through a sink that
  // is not open yet.
  if (sink) sink->open();
  std::vector<std::pair<cf_log_t::level_t, std::string>> early;
  std::shared_ptr<cf_log_t> previous;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    previous = std::move(s.sink);
    s.sink = sink;
    if (s.mode == mode_buffering) s.mode = mode_sink;
    early.swap(s.early);
  }
  previous.reset();
  for (const auto& line : early)
    if (line.first >= threshold()) log(line.first, line.second);
}

bool is_installed() {
  std::lock_guard<std::mutex> guard(state().lock);
  return static_cast<bool>(state().sink);
}

void out_of_memory() noexcept {
  auto& s = state();
  std::shared_ptr<cf_log_t> sink;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.mode == mode_sink) sink = s.sink;
  }
  if (sink) {
    sink->out_of_memory();
    return;
  }
  write_oom_notice();
}

void write_oom_notice() noexcept {
  std::lock_guard<std::mutex> guard(state().lock);
  if (stderr_is_journal()) write_fd(2, "<3>", 3);
  write_fd(2, oom_notice, sizeof oom_notice - 1);
}

void write_fd(int fd, const char* data, size_t size) noexcept {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    data += n;
    size -= static_cast<size_t>(n);
  }
}

void lock() { state().lock.lock(); }

void unlock() noexcept { state().lock.unlock(); }

}  // namespace cflog
