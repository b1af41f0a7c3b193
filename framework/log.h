#pragma once

#include <memory>
#include <sstream>
#include <string>

#include <boost/function.hpp>

// A log sink. The process has one log with a level threshold and one
// installed sink (see cflog below); until a sink is installed lines are kept
// in memory and replayed into the first one.
class cf_log_t {
public:
  typedef int level_t;
  static constexpr level_t debug = 0;
  static constexpr level_t info = 1;
  static constexpr level_t notice = 2;
  static constexpr level_t warning = 3;
  static constexpr level_t error = 4;

  // Receives a copy of every line as "Level: message".
  typedef boost::function<void(std::string)> callback_t;

  explicit cf_log_t(callback_t extra);
  virtual ~cf_log_t();
  cf_log_t(const cf_log_t&) = delete;
  cf_log_t& operator=(const cf_log_t&) = delete;

  // Called once when the sink is installed.
  virtual void open() = 0;
  // Writes one line.
  virtual void write(level_t level, const std::string& message) = 0;
  // Emits the fixed out-of-memory notice without allocating.
  virtual void out_of_memory() = 0;

  // The extra-copy callback (empty_callback when none was given).
  const callback_t& extra() const { return extra_; }
  // The callback that does nothing.
  static void empty_callback(std::string);

private:
  callback_t extra_;
};

// The process-wide log.
namespace cflog {

// Printed name of a level: "Debug" ... "Error", "Unknown" otherwise.
const char* level_name(cf_log_t::level_t level) noexcept;

// Lines below the threshold are not logged. Debug until set.
cf_log_t::level_t threshold() noexcept;
void set_threshold(cf_log_t::level_t level) noexcept;

// Logs one line. Callers compare the level with the threshold first
// (CF_LOG does); before any sink is installed every line is kept.
void log(cf_log_t::level_t level, const std::string& message);

// Makes the sink the process sink (the previous one is released), opens it
// and replays the lines kept so far that pass the threshold.
void install(std::shared_ptr<cf_log_t> sink);

// True once a sink has been installed.
bool is_installed();

// Writes the out-of-memory notice through the sink, or to stderr.
void out_of_memory() noexcept;

// "Level: message": a line as stderr and the extra copy show it.
std::string line_text(cf_log_t::level_t level, const std::string& message);

// Writes "Level: message" and a newline to stderr under the log lock.
void write_stderr(cf_log_t::level_t level, const std::string& message);

// Writes "Error: Not enough memory" to stderr without allocating.
void write_oom_notice() noexcept;

// Writes the whole buffer to a descriptor, retrying on EINTR; gives up
// silently on any other failure.
void write_fd(int fd, const char* data, size_t size) noexcept;

// Runs f while holding the process-wide log lock, which serialises every
// descriptor write of the log.
template <class F>
void locked(F&& f);
void lock();
void unlock() noexcept;

template <class F>
void locked(F&& f) {
  lock();
  try {
    f();
  } catch (...) {
    unlock();
    throw;
  }
  unlock();
}

}  // namespace cflog

// Logs a streamed message when its level passes the threshold; the text is
// not built otherwise.
#define CF_LOG(level, stream_expr)                                      \
  do {                                                                  \
    const ::cf_log_t::level_t cf_log_level_ = (level);                  \
    if (cf_log_level_ >= ::cflog::threshold()) {                        \
      std::ostringstream cf_log_os_;                                    \
      cf_log_os_ << stream_expr;                                        \
      ::cflog::log(cf_log_level_, cf_log_os_.str());                    \
    }                                                                   \
  } while (0)

#define CF_DEBUG(s) CF_LOG(::cf_log_t::debug, s)
#define CF_INFO(s) CF_LOG(::cf_log_t::info, s)
#define CF_NOTICE(s) CF_LOG(::cf_log_t::notice, s)
#define CF_WARNING(s) CF_LOG(::cf_log_t::warning, s)
#define CF_ERROR(s) CF_LOG(::cf_log_t::error, s)
