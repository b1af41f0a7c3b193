#include "wd_log_collector.h"

#include <boost/asio/error.hpp>

#include "log.h"

wd_log_collector_t::wd_log_collector_t(boost::asio::io_context& io, int fd, std::string name, pid_t pid)
    : pipe_(io, fd), prefix_(name + "[" + std::to_string(pid) + "]: ") {}

void wd_log_collector_t::start() { do_read(); }

void wd_log_collector_t::close() {
  boost::system::error_code ignored;
  pipe_.close(ignored);
}

void wd_log_collector_t::do_read() {
  pipe_.async_read_some(boost::asio::buffer(buffer_),
                        [self = shared_from_this()](const boost::system::error_code& ec, std::size_t n) {
                          self->on_read(ec, n);
                        });
}

void wd_log_collector_t::on_read(const boost::system::error_code& ec, std::size_t n) {
  if (ec == boost::asio::error::operation_aborted || !pipe_.is_open()) return;
  if (ec) {
    // End of file: the program has ended; a last unterminated line still counts.
    if (!line_.empty() && !cut_) relay(line_);
    close();
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    const char c = buffer_[i];
    if (c == '\n') {
      if (!cut_) relay(line_);
      line_.clear();
      cut_ = false;
    } else if (cut_) {
      continue;
    } else if (line_.size() < max_line) {
      line_ += c;
    } else {
      relay(line_ + "...");
      line_.clear();
      cut_ = true;
    }
  }
  do_read();
}

void wd_log_collector_t::relay(const std::string& line) const {
  for (cf_log_t::level_t level = cf_log_t::debug; level <= cf_log_t::error; ++level) {
    const std::string name = cflog::level_name(level);
    if (line.compare(0, name.size(), name) == 0 && line.compare(name.size(), 2, ": ") == 0) {
      CF_LOG(level, prefix_ << line.substr(name.size() + 2));
      return;
    }
  }
  CF_NOTICE(prefix_ << line);
}
