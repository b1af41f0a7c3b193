#include "wd_notify.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

std::string wd_notifier_t::notify(const std::string& state) const {
  if (address_.empty()) return {};
  sockaddr_un sa{};
  sa.sun_family = AF_UNIX;
  // An abstract name has no terminating NUL: its length is the address's.
  const bool abstract = address_[0] == '@';
  if ((!abstract && address_[0] != '/') || address_.size() >= sizeof sa.sun_path)
    return "NOTIFY_SOCKET '" + address_ + "' is not a socket address";
  memcpy(sa.sun_path, address_.data(), address_.size());
  if (abstract) sa.sun_path[0] = '\0';
  const socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address_.size() + !abstract);

  const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return std::string("socket: ") + strerror(errno);
  ssize_t sent;
  do {
    sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&sa), length);
  } while (sent < 0 && errno == EINTR);
  const int error = errno;
  close(fd);
  if (sent < 0) return "send to " + address_ + ": " + strerror(error);
  return {};
}
