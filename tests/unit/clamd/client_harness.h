#pragma once

// A clamd client on one end of a socketpair, the daemon's connection object
// on the other, one event loop driven by the test.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../supervisor/peer_socket.h"
#include "clamd_asio_socket.h"
#include "config.h"
#include "inventory.h"

// Counts the writes the connection starts, to see batching.
class counting_socket_t : public cl_clamd_local_socket_t {
public:
  using cl_clamd_local_socket_t::cl_clamd_local_socket_t;
  void async_write(boost::asio::const_buffer buffer, handler_t handler) override {
    ++writes;
    cl_clamd_local_socket_t::async_write(buffer, std::move(handler));
  }
  int writes = 0;
};

struct clamd_harness_t {
  explicit clamd_harness_t(uint32_t read_timeout_ms = 60000) : inventory(warden.daemon_fd) {
    vx::ClamdConfig config;
    config.set_read_timeout(read_timeout_ms);
    auto* endpoint = config.mutable_endpoint()->add_item();
    endpoint->set_tag("t");
    endpoint->mutable_clamd_socket()->set_local("/unused");
    inventory.config().update(config);
  }

  // A connected socket pair: the daemon's end wrapped for the connection.
  std::shared_ptr<counting_socket_t> connect() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error("socketpair");
    client = fds[1];
    auto socket = std::make_shared<counting_socket_t>(inventory.io_context());
    socket->socket().assign(boost::asio::local::stream_protocol(), fds[0]);
    return socket;
  }

  ~clamd_harness_t() {
    if (client >= 0) ::close(client);
  }

  void send(const std::string& bytes) {
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL));
  }

  // Sends what the socket takes; the daemon may have hung up meanwhile.
  void send_best_effort(const std::string& bytes) { (void)::send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

  // Sends bytes with descriptors attached.
  void send_fds(const std::string& bytes, const std::vector<int>& fds) {
    iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::sendmsg(client, &msg, MSG_NOSIGNAL));
  }

  // Lets the loop handle what is ready now.
  void poll() {
    inventory.io_context().restart();
    inventory.io_context().poll();
  }

  // Runs the loop until the daemon closed the connection (or until
  // `until` bytes arrived when given) and returns what the client got.
  std::string receive(size_t until = SIZE_MAX) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      char buffer[4096];
      ssize_t n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) {
        received.append(buffer, static_cast<size_t>(n));
        if (received.size() >= until) return received;
        continue;
      }
      if (n == 0) {
        closed = true;
        return received;
      }
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "connection neither answered nor closed; got: " << received;
        return received;
      }
      inventory.io_context().restart();
      inventory.io_context().run_for(std::chrono::milliseconds(5));
    }
  }

  peer_socket_t warden;
  cl_inventory_t inventory;
  int client = -1;
  std::string received;
  bool closed = false;
};

// Waits until every write end of the pipe is closed: the read end sees EOF.
inline bool pipe_closed_everywhere(clamd_harness_t& h, int read_fd) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{read_fd, POLLIN, 0};
    if (::poll(&p, 1, 0) == 1) {
      char c;
      return ::read(read_fd, &c, 1) == 0;
    }
    h.inventory.io_context().restart();
    h.inventory.io_context().run_for(std::chrono::milliseconds(5));
  }
  return false;
}
