#pragma once

// The supervisor's end of the daemon's Warden link, for tests that build
// the application object (cl_inventory_t takes daemon_fd) and answer its
// requests.
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>

#include "frames.h"
#include "run_until.h"
#include "warden_clamd_ipc.pb.h"

struct warden_end_t {
  warden_end_t() : warden_end_t(open_pair()) {}
  ~warden_end_t() { ::close(fd); }
  warden_end_t(const warden_end_t&) = delete;
  warden_end_t& operator=(const warden_end_t&) = delete;

  // Writes one whole frame.
  void send(const vx::Warden2ClamdMessage& message) {
    const std::string frame = encode_frame(message);
    for (std::size_t done = 0; done < frame.size();) {
      const ssize_t n = ::send(fd, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
      if (n <= 0) throw std::runtime_error("warden_end_t: send failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // The daemon's next message, running io until a whole frame arrived.
  vx::Clamd2WardenMessage receive(boost::asio::io_context& io) {
    std::string body;
    if (!run_until(io, [&] { return reader_.poll(body); }))
      throw std::runtime_error("warden_end_t: no message from the daemon");
    vx::Clamd2WardenMessage message;
    if (!message.ParseFromString(body)) throw std::runtime_error("warden_end_t: message does not parse");
    return message;
  }

  // Taken over by the daemon's link, which closes it.
  int daemon_fd;
  // The test's end.
  int fd;

private:
  struct pair_t {
    int daemon_fd;
    int fd;
  };
  static pair_t open_pair() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    return {fds[0], fds[1]};
  }
  explicit warden_end_t(pair_t fds) : daemon_fd(fds.daemon_fd), fd(fds.fd), reader_(fds.fd) {}

  frame_reader_t reader_;
};
