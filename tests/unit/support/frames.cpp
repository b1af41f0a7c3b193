#include "frames.h"

#include <sys/socket.h>
#include <unistd.h>

#include "run_until.h"

std::string frame_header(std::uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
}

std::string encode_frame(const google::protobuf::MessageLite& message) {
  const std::string body = message.SerializeAsString();
  return frame_header(static_cast<std::uint32_t>(body.size())) + body;
}

std::array<int, 2> socket_pair() {
  std::array<int, 2> fds{};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) != 0) throw std::runtime_error("socketpair");
  return fds;
}

bool frame_peer_t::poll(std::string& body) {
  for (;;) {
    if (buffered_.size() >= 4) {
      const auto byte = [this](int i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(buffered_[i])); };
      const std::uint32_t n = byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24;
      if (buffered_.size() >= 4 + static_cast<std::size_t>(n)) {
        body = buffered_.substr(4, n);
        buffered_.erase(0, 4 + static_cast<std::size_t>(n));
        return true;
      }
    }
    char buffer[4096];
    const ssize_t got = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got == 0) closed_ = true;
    if (got <= 0) return false;
    buffered_.append(buffer, static_cast<std::size_t>(got));
  }
}

void frame_peer_t::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
  closed_ = false;
  buffered_.clear();
}

void frame_peer_t::send_raw(const std::string& bytes) {
  if (::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size()))
    throw std::runtime_error("the other end took less than a whole send");
}

std::string frame_peer_t::next(boost::asio::io_context& io) {
  std::string body;
  bool whole = false;
  run_until(io, [&] { return (whole = poll(body)) || closed(); });
  if (!whole) throw std::runtime_error(closed() ? "closed" : "no whole frame came");
  return body;
}
