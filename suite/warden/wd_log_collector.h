#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>

// Reads the copy of a program's log lines ("Level: message") from the
// read end of its log pipe and writes them into Warden's log at the same
// level, prefixed with the program's name and pid. Ends at end of file.
class wd_log_collector_t : public std::enable_shared_from_this<wd_log_collector_t> {
public:
  // Longer lines are cut; what follows up to the newline is dropped.
  static constexpr std::size_t max_line = 8192;

  // Takes the descriptor (it now belongs to the collector).
  wd_log_collector_t(boost::asio::io_context& io, int fd, std::string name, pid_t pid);
  // Starts reading.
  void start();
  // Stops reading; safe to call twice.
  void close();

  // Logs one line of the program ("Notice: text") at its level.
  void relay(const std::string& line) const;

private:
  void do_read();
  void on_read(const boost::system::error_code& ec, std::size_t n);

  boost::asio::posix::stream_descriptor pipe_;
  std::string prefix_;
  char buffer_[4096];
  std::string line_;
  bool cut_ = false;
};
