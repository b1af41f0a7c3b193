#pragma once

// The supervisor's end of a socketpair, driven with plain blocking calls,
// for tests of the daemon's side of the link.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>

#include "warden_clamd_ipc.pb.h"

struct peer_socket_t {
  peer_socket_t() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    daemon_fd = fds[0];
    fd = fds[1];
  }
  ~peer_socket_t() { ::close(fd); }

  void send(const vx::Warden2ClamdMessage& m) {
    const std::string body = m.SerializeAsString();
    const uint32_t n = static_cast<uint32_t>(body.size());
    std::string data{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)};
    data += body;
    ASSERT_EQ(static_cast<ssize_t>(data.size()), ::write(fd, data.data(), data.size()));
  }

  // The next frame from the daemon, running the loop until it is there.
  vx::Clamd2WardenMessage receive(boost::asio::io_context& io) {
    std::string& data = received;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      char buffer[4096];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) data.append(buffer, static_cast<size_t>(n));
      if (data.size() >= 4) {
        const uint32_t len = static_cast<uint8_t>(data[0]) | static_cast<uint8_t>(data[1]) << 8 |
                             static_cast<uint8_t>(data[2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(data[3])) << 24;
        if (data.size() >= 4 + len) {
          vx::Clamd2WardenMessage m;
          EXPECT_TRUE(m.ParseFromString(data.substr(4, len)));
          data.erase(0, 4 + len);
          return m;
        }
      }
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "no frame from the daemon";
        return {};
      }
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
  }

  // Runs the loop until pred holds.
  static void run_until(boost::asio::io_context& io, const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "timed out";
      io.restart();
      io.run_for(std::chrono::milliseconds(10));
    }
  }

  std::string received;
  int daemon_fd = -1;
  int fd = -1;
};
