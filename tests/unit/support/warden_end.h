#pragma once

// The supervisor's end of the daemon's link, for tests that play Warden:
// a socketpair whose daemon_fd goes to the inventory or the Warden link,
// while the test sends and receives frames on fd.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "frames.h"
#include "run_until.h"
#include "warden_clamd_ipc.pb.h"

struct warden_end_t {
  warden_end_t() : warden_end_t(socket_pair()) {}
  ~warden_end_t() { ::close(fd); }
  warden_end_t(const warden_end_t&) = delete;
  warden_end_t& operator=(const warden_end_t&) = delete;

  void send(const vx::Warden2ClamdMessage& message) {
    const std::string frame = encode_frame(message);
    EXPECT_EQ(static_cast<ssize_t>(frame.size()), ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL));
  }

  // The next frame from the daemon, running the loop until it is whole.
  vx::Clamd2WardenMessage receive(boost::asio::io_context& io) {
    std::string body;
    vx::Clamd2WardenMessage message;
    if (!run_until(io, [&] { return reader_.poll(body); })) {
      ADD_FAILURE() << "no frame from the daemon";
    } else {
      EXPECT_TRUE(message.ParseFromString(body));
    }
    return message;
  }

  // Taken over (and closed) by the daemon's side.
  int daemon_fd;
  int fd;

private:
  explicit warden_end_t(std::array<int, 2> fds) : daemon_fd(fds[0]), fd(fds[1]), reader_(fd) {}
  static std::array<int, 2> socket_pair() {
    std::array<int, 2> fds{};
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0) throw std::runtime_error("socketpair");
    return fds;
  }

  frame_reader_t reader_;
};
