#pragma once

// The framed IPC wire, for tests that play the other end of a link: a
// 4-byte little-endian length, then one serialized message.
#include <cstdint>
#include <string>

#include <google/protobuf/message_lite.h>

// The frame carrying message.
std::string encode_frame(const google::protobuf::MessageLite& message);
// A frame header announcing length bytes.
std::string frame_header(std::uint32_t length);

// Cuts frames out of bytes read from a blocking or non-blocking descriptor.
class frame_reader_t {
public:
  explicit frame_reader_t(int fd) : fd_(fd) {}
  // Reads what is there without waiting; true when a whole frame is
  // buffered, whose body is then moved into body.
  bool poll(std::string& body);
  // True when the other end closed and everything was taken.
  bool closed() const { return closed_ && buffered_.empty(); }

private:
  int fd_;
  bool closed_ = false;
  std::string buffered_;
};
