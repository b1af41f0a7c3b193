#include "file_log.h"

#include <unistd.h>

#include <boost/date_time/posix_time/posix_time.hpp>

cf_file_log_t::cf_file_log_t(int fd, bool owns_fd, callback_t extra)
    : cf_log_t(std::move(extra)), fd_(fd), owns_fd_(owns_fd), pid_(getpid()) {}

cf_file_log_t::~cf_file_log_t() {
  if (owns_fd_) ::close(fd_);
}

void cf_file_log_t::open() {}

std::string cf_file_log_t::format(level_t level, const std::string& message) const {
  std::string line = boost::posix_time::to_simple_string(boost::posix_time::second_clock::local_time());
  line += " [";
  line += std::to_string(pid_);
  line += "] ";
  line += cflog::line_text(level, message);
  return line;
}

void cf_file_log_t::write(level_t level, const std::string& message) {
  std::string line = format(level, message);
  line += '\n';
  cflog::locked([&] { cflog::write_fd(fd_, line.data(), line.size()); });
}

void cf_file_log_t::out_of_memory() {
  cflog::write_oom_notice();
}
