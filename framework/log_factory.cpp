#include "log_factory.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <syslog.h>

#include <boost/filesystem/exception.hpp>

#include "console_log.h"
#include "file_log.h"
#include "strict_int.h"
#include "syslog_log.h"

std::shared_ptr<cf_log_t> make_default_log() { return std::make_shared<cf_console_log_t>(cf_log_t::callback_t()); }

int syslog_facility(int facility) noexcept {
  switch (facility) {
    case vx::Log::USER: return LOG_USER;
    case vx::Log::MAIL: return LOG_MAIL;
    default:
      if (facility >= vx::Log::LOCAL0 && facility <= vx::Log::LOCAL7)
        return LOG_LOCAL0 + (facility - vx::Log::LOCAL0) * 8;
      return LOG_DAEMON;
  }
}

cf_log_t::level_t log_threshold(vx::LogLevel level) noexcept {
  switch (level) {
    case vx::LOG_LEVEL_DEBUG: return cf_log_t::debug;
    case vx::LOG_LEVEL_INFO: return cf_log_t::info;
    case vx::LOG_LEVEL_NOTICE: return cf_log_t::notice;
    case vx::LOG_LEVEL_WARNING: return cf_log_t::warning;
    default: return cf_log_t::error;
  }
}

namespace {

// The extra copy to COM_VEMRA_ADD_LOG_PIPE, or an empty callback.
cf_log_t::callback_t pipe_callback() {
  const char* value = getenv("COM_VEMRA_ADD_LOG_PIPE");
  if (!value) return {};
  int fd;
  try {
    fd = cf_strict_int(value);
  } catch (const std::exception&) {
    CF_ERROR("Log Factory: Wrong environment variable COM_VEMRA_ADD_LOG_PIPE");
    return {};
  }
  CF_DEBUG("Log Factory: Additional log - " << fd);
  // Called with the log lock held; the descriptor belongs to whoever passed
  // it, so it is neither checked nor closed here.
  return [fd](std::string text) {
    text += '\n';
    cflog::write_fd(fd, text.data(), text.size());
  };
}

int open_log_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  const int first_errno = errno;
  fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  if (fd >= 0) return fd;
  throw boost::filesystem::filesystem_error(
      "Cannot create log", path, boost::system::error_code(first_errno, boost::system::system_category()));
}

}  // namespace

std::shared_ptr<cf_log_t> make_log(const vx::Log& settings, cf_log_t::callback_t callback) {
  bool from_pipe = false;
  if (!callback) {
    callback = pipe_callback();
    from_pipe = static_cast<bool>(callback);
  }
  switch (settings.type()) {
    case vx::Log::SYSLOG:
      return std::make_shared<cf_syslog_log_t>(syslog_facility(settings.facility()),
                                               settings.has_ident() ? settings.ident() : std::string(),
                                               std::move(callback));
    case vx::Log::FILE:
      return std::make_shared<cf_file_log_t>(open_log_file(settings.path()), true, std::move(callback));
    case vx::Log::STDERR:
      // The pipe copy would duplicate what already goes to stderr.
      if (from_pipe) callback = {};
      if (settings.show_timestamp()) return std::make_shared<cf_file_log_t>(2, false, std::move(callback));
      return std::make_shared<cf_console_log_t>(std::move(callback));
    default:
      return {};
  }
}
