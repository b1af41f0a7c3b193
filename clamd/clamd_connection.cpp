#include "clamd_connection.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "clamd_log.h"
#include "clamd_socket.h"
#include "config.h"
#include "error.pb.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "stat_collector.h"

#define CONN_DEBUG(s) CL_OBJECT_DEBUG("connection", s)

namespace {

const char protocol_error[] = "PROTOCOL ERROR: ancillary data sent without FILDES. ERROR";

// Empties a buffer; one that grew past 1 KiB gives its storage back so idle
// connections stay small.
void drain(std::vector<char>& v) {
  if (v.capacity() > 1024)
    std::vector<char>().swap(v);
  else
    v.clear();
}

char terminator_byte(cl_clamd_connection_t::terminator_t t) { return t == cl_clamd_connection_t::nul ? '\0' : '\n'; }

}  // namespace

cl_clamd_connection_t::cl_clamd_connection_t(cl_inventory_t& inventory, const std::string& endpoint_tag)
    : inventory_(inventory),
      endpoint_tag_(endpoint_tag),
      read_timeout_ms_(inventory.config().read_timeout(endpoint_tag)),
      read_timer_(inventory.io_context()) {
  inventory_.stats().connection_opened();
  CONN_DEBUG("created");
}

cl_clamd_connection_t::~cl_clamd_connection_t() {
  if (fd_received_) ::close(received_fd_);
  inventory_.stats().connection_closed();
  CONN_DEBUG("destroyed");
}

void cl_clamd_connection_t::start(std::shared_ptr<cl_clamd_socket_t> socket) {
  socket_ = std::move(socket);
  try {
    if (!socket_->non_blocking()) socket_->non_blocking(true);
  } catch (const boost::system::system_error& e) {
    // Only this client is affected: drop it rather than the daemon.
    on_io_error(e.code());
    return;
  }
  CONN_DEBUG("starting on fd: " << socket_->native_handle());
  post(&cl_clamd_connection_t::read_command);
  start_read_timer();
}

void cl_clamd_connection_t::post(retry_t step) {
  auto holder = self();
  boost::asio::post(inventory_.io_context(), [holder, step] { (holder.get()->*step)(); });
}

void cl_clamd_connection_t::start_read_timer() {
  CONN_DEBUG("starting read timer for: " << read_timeout_ms_ << " ms");
  read_timer_.expires_after(std::chrono::milliseconds(read_timeout_ms_));
  auto holder = self();
  read_timer_.async_wait([holder](const boost::system::error_code& ec) { holder->on_read_timer(ec); });
}

void cl_clamd_connection_t::stop_read_timer() {
  read_timer_stopped_ = true;
  read_timer_.cancel();
}

void cl_clamd_connection_t::on_read_timer(const boost::system::error_code& ec) {
  // An expiry already queued when the timer was stopped cannot be aborted
  // any more; it must not time out a client that has spoken meanwhile.
  if (ec == boost::asio::error::operation_aborted || read_timer_stopped_) return;
  if (ec) {
    CF_ERROR("cl_clamd_peer_t: read timer error: " << ec.message());
    return;
  }
  write_reply(request_id_, "COMMAND READ TIMED OUT", newline);
  auto holder = self();
  boost::asio::post(inventory_.io_context(),
                    [holder] { holder->on_io_error(vx::make_error_code(vx::EC_NETWORK_TIMEDOUT)); });
}

bool cl_clamd_connection_t::read_some() {
  if (!socket_ || !socket_->is_open()) return false;
  std::size_t n;
  try {
    n = socket_->available();
  } catch (const boost::system::system_error& e) {
    on_io_error(e.code());
    return false;
  }
  if (n == 0) {
    // Readable with nothing to read: the client has closed.
    on_io_error(boost::asio::error::eof);
    return false;
  }
  CONN_DEBUG(n << " bytes in socket , buffer has: " << input_size());
  // Consumed bytes go only now, once per read: erasing them command by
  // command would move a pipelined session's remaining input again for
  // every command it holds.
  input_.erase(input_.begin(), input_begin());
  input_head_ = 0;
  const std::size_t old = input_.size();
  input_.resize(old + n);
  iovec iov{input_.data() + old, n};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  const ssize_t got = ::recvmsg(socket_->native_handle(), &msg, MSG_CMSG_CLOEXEC);
  if (got < 0) {
    const int error = errno;
    input_.resize(old);
    on_io_error(boost::system::error_code(error, boost::system::system_category()));
    return false;
  }
  input_.resize(old + static_cast<std::size_t>(got));

  // Every descriptor that arrived is ours to close unless it is kept.
  std::vector<int> fds;
  if (msg.msg_controllen >= sizeof(cmsghdr)) {
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
      const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
      for (std::size_t i = 0; i < count; ++i) {
        int fd;
        std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
        fds.push_back(fd);
      }
    }
  }
  auto refuse = [&](vx::ErrorCode code) {
    for (int fd : fds) ::close(fd);
    on_io_error(vx::make_error_code(code));
    return false;
  };
  if (msg.msg_flags & MSG_CTRUNC) return refuse(vx::EC_BAD_MESSAGE_SIZE);
  if (fds.empty()) return true;
  if (fd_received_ || fds.size() > 1) return refuse(vx::EC_UNEXPECTED_MESSAGE);
  CF_DEBUG("received fd: " << fds[0]);
  received_fd_ = fds[0];
  fd_received_ = true;
  return true;
}

int cl_clamd_connection_t::take_received_fd() {
  if (!fd_received_) return -1;
  fd_received_ = false;
  return received_fd_;
}

void cl_clamd_connection_t::read_command() {
  terminator_known_ = false;
  // A session client that sends commands without reading the replies would
  // otherwise make us queue replies for as long as it likes; its next
  // command waits until the write in flight has taken some away.
  if (output_pending_.size() + output_in_flight_.size() > max_queued_output) {
    command_read_paused_ = true;
    return;
  }
  if (input_size() != 0 && parse_command()) return apply_state(on_command());
  auto holder = self();
  wait_readable([holder](const boost::system::error_code& ec) { holder->on_command_readable(ec); });
}

void cl_clamd_connection_t::on_command_readable(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) {
    CONN_DEBUG("error occurred: " << ec.message());
    return on_io_error(ec);
  }
  if (!in_session_) stop_read_timer();
  if (!read_some()) return;
  if (parse_command()) return apply_state(on_command());
  if (input_size() > 10) {
    CONN_DEBUG("too long command, expected terminator symbol");
    return on_io_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
  }
  auto holder = self();
  wait_readable([holder](const boost::system::error_code& ec) { holder->on_command_readable(ec); });
}

bool cl_clamd_connection_t::parse_command() {
  if (!terminator_known_) {
    const char first = *input_begin();
    terminator_ = first == 'n' ? newline : first == 'z' ? nul : unprefixed;
    terminator_known_ = true;
  }
  auto is_delimiter = [this](char c) {
    return c == ' ' || (terminator_ == newline && c == '\n') || (terminator_ == nul && c == '\0');
  };
  auto found = std::find_if(input_begin(), input_.end(), is_delimiter);
  if (found != input_.end()) {
    command_.assign(input_begin(), found);
    has_arguments_ = *found == ' ';
    if (terminator_ == newline)
      while (!command_.empty() && command_.back() == '\r') command_.pop_back();
    if (terminator_ != unprefixed && !command_.empty()) command_.erase(0, 1);
    consume(static_cast<std::size_t>(found - input_begin()) + 1);
    return true;
  }
  if (terminator_ != unprefixed) return false;
  // Unprefixed and no space: the command is what has arrived, up to the
  // first newline.
  auto end = std::find(input_begin(), input_.end(), '\n');
  command_.assign(input_begin(), end);
  while (!command_.empty() && (command_.back() == '\r' || command_.back() == '\n')) command_.pop_back();
  has_arguments_ = false;
  consume(end == input_.end() ? input_size() : static_cast<std::size_t>(end - input_begin()) + 1);
  return true;
}

void cl_clamd_connection_t::apply_state(cl_clamd_state_t state) {
  state_ = std::move(state);
  if (state_.kind == cl_clamd_state_t::pending && has_jobs()) watch();
  switch (state_.kind) {
    case cl_clamd_state_t::next_command:
      ++request_id_;
      has_arguments_ = false;
      post(&cl_clamd_connection_t::read_command);
      break;
    case cl_clamd_state_t::arguments:
      post(&cl_clamd_connection_t::read_arguments);
      break;
    case cl_clamd_state_t::block:
      post(&cl_clamd_connection_t::read_block);
      break;
    default:
      break;
  }
}

void cl_clamd_connection_t::read_arguments() {
  std::string argument;
  if (terminator_ == unprefixed) {
    argument.assign(input_begin(), input_.end());
    while (!argument.empty() && (argument.back() == '\r' || argument.back() == '\n')) argument.pop_back();
    consume(input_size());
  } else {
    auto end = std::find(input_begin(), input_.end(), terminator_byte(terminator_));
    if (end == input_.end()) {
      // Without a bound, a client that never sends the terminator could
      // grow our memory for as long as it likes.
      if (input_size() > max_argument_length) {
        CONN_DEBUG("too long arguments, expected terminator symbol");
        return on_io_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
      }
      return wait_then(&cl_clamd_connection_t::read_arguments);
    }
    argument.assign(input_begin(), end);
    consume(static_cast<std::size_t>(end - input_begin()) + 1);
  }
  if (argument.size() > max_argument_length) {
    CONN_DEBUG("too long arguments, expected terminator symbol");
    return on_io_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
  }
  auto handler = std::move(state_.handler);
  apply_state(handler(boost::asio::buffer(argument)));
}

void cl_clamd_connection_t::read_block() {
  const std::uint32_t count = state_.count.value_or(0);
  if (input_size() < count) return wait_then(&cl_clamd_connection_t::read_block);
  auto handler = std::move(state_.handler);
  cl_clamd_state_t next = handler(boost::asio::buffer(input_.data() + input_head_, count));
  consume(count);
  apply_state(std::move(next));
}

void cl_clamd_connection_t::wait_then(retry_t retry) {
  auto holder = self();
  wait_readable([holder, retry](const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) return holder->on_io_error(ec);
    if (holder->read_some()) (holder.get()->*retry)();
  });
}

void cl_clamd_connection_t::wait_readable(std::function<void(const boost::system::error_code&)> handler) {
  if (fd_received_) {
    // A descriptor only makes sense with FILDES; the client is confused.
    write_reply(request_id_, protocol_error, terminator_known_ ? terminator_ : unprefixed);
    state_ = cl_clamd_state_t::make(cl_clamd_state_t::pending);
    return;
  }
  if (!socket_->is_open()) return;
  socket_->async_wait_readable(std::move(handler));
}

void cl_clamd_connection_t::watch() {
  // Bytes sent while the command's work is pending mean nothing: drop them,
  // but notice when the client goes away.
  consume(input_size());
  if (!socket_->is_open()) return;
  auto holder = self();
  socket_->async_wait_readable([holder](const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      CL_OBJECT_DEBUG_AT("connection", holder.get(), "peer connection error: " << ec.message());
      return holder->on_io_error(ec);
    }
    if (holder->read_some()) holder->watch();
  });
}

void cl_clamd_connection_t::write_reply(const std::string& text) {
  write_reply(request_id_, text, terminator_known_ ? terminator_ : unprefixed);
}

void cl_clamd_connection_t::write_reply(std::uint32_t id, const std::string& text, terminator_t terminator) {
  if (id != 0) {
    const std::string number = std::to_string(id) + ": ";
    output_pending_.insert(output_pending_.end(), number.begin(), number.end());
  }
  output_pending_.insert(output_pending_.end(), text.begin(), text.end());
  output_pending_.push_back(terminator_byte(terminator));
  flush();
}

void cl_clamd_connection_t::flush() {
  if (output_in_flight_.empty() && !output_pending_.empty() && socket_) {
    output_pending_.swap(output_in_flight_);
    auto holder = self();
    socket_->async_write(boost::asio::buffer(output_in_flight_),
                         [holder](const boost::system::error_code& ec, std::size_t) { holder->on_write(ec); });
    return;
  }
  check_idle();
}

void cl_clamd_connection_t::on_write(const boost::system::error_code& ec) {
  if (!socket_->is_open()) return;
  if (ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    CONN_DEBUG("write error: " << ec.message());
    return on_io_error(ec);
  }
  drain(output_in_flight_);
  flush();
  if (command_read_paused_ && socket_->is_open() &&
      output_pending_.size() + output_in_flight_.size() <= max_queued_output) {
    command_read_paused_ = false;
    post(&cl_clamd_connection_t::read_command);
  }
}

cl_clamd_state_t cl_clamd_connection_t::finish_command() const {
  return cl_clamd_state_t::make(in_session_ ? cl_clamd_state_t::next_command : cl_clamd_state_t::pending);
}

cl_clamd_state_t cl_clamd_connection_t::check_idle() {
  if (state_.kind == cl_clamd_state_t::pending && !has_jobs() && output_pending_.empty() &&
      output_in_flight_.empty())
    stop();
  return cl_clamd_state_t::make(cl_clamd_state_t::pending);
}

void cl_clamd_connection_t::close() {
  if (socket_ && socket_->is_open()) {
    try {
      socket_->close();
    } catch (const boost::system::system_error& e) {
      CONN_DEBUG(e.what());
    }
  }
  stop_read_timer();
}

void cl_clamd_connection_t::consume(std::size_t n) {
  input_head_ += n;
  if (input_head_ == input_.size()) {
    input_head_ = 0;
    drain(input_);
  }
}
