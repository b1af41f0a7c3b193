#include "frames.h"

#include <sys/socket.h>

std::string frame_header(std::uint32_t n) {
  return {static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16), static_cast<char>(n >> 24)};
}

std::string encode_frame(const google::protobuf::MessageLite& message) {
  const std::string body = message.SerializeAsString();
  return frame_header(static_cast<std::uint32_t>(body.size())) + body;
}

bool frame_reader_t::poll(std::string& body) {
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
