#include "clamd_receive.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "error.pb.h"
#include "proto_error_category.h"

namespace {

std::vector<int> passed_fds(msghdr& msg) {
  std::vector<int> fds;
  if (msg.msg_controllen < sizeof(cmsghdr)) return fds;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
    for (std::size_t i = 0; i < count; ++i) {
      int fd;
      std::memcpy(&fd, CMSG_DATA(c) + i * sizeof(int), sizeof fd);
      fds.push_back(fd);
    }
  }
  return fds;
}

}  // namespace

cl_clamd_received_t cl_clamd_receive(int fd, char* data, std::size_t size) {
  const iovec iov{data, size};
  return cl_clamd_receive(fd, &iov, 1);
}

cl_clamd_received_t cl_clamd_receive(int fd, const iovec* iov, std::size_t count) {
  cl_clamd_received_t received;
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))];
  msghdr msg{};
  msg.msg_iov = const_cast<iovec*>(iov);
  msg.msg_iovlen = count;
  msg.msg_control = control;
  msg.msg_controllen = sizeof control;
  // Close-on-exec from the start: a descriptor a client passed must never
  // reach a program we start.
  const ssize_t got = ::recvmsg(fd, &msg, MSG_CMSG_CLOEXEC);
  if (got < 0) {
    received.error.assign(errno, boost::system::system_category());
    return received;
  }
  received.bytes = static_cast<std::size_t>(got);
  received.fds = passed_fds(msg);
  received.truncated = (msg.msg_flags & MSG_CTRUNC) != 0;
  return received;
}

boost::system::error_code cl_clamd_hold_fd(const cl_clamd_received_t& received, int& held) {
  auto refuse = [&received](vx::ErrorCode code) {
    for (int fd : received.fds) ::close(fd);
    return vx::make_error_code(code);
  };
  if (received.truncated) return refuse(vx::EC_BAD_MESSAGE_SIZE);
  if (received.fds.empty()) return {};
  // Only FILDES takes a descriptor, and it takes one.
  if (held >= 0 || received.fds.size() > 1) return refuse(vx::EC_UNEXPECTED_MESSAGE);
  held = received.fds[0];
  return {};
}
