#pragma once

// The framed IPC wire, for tests that play the other end of a link: a
// 4-byte little-endian length, then one serialized message.
#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>

#include <boost/asio/io_context.hpp>
#include <google/protobuf/message_lite.h>

// The frame carrying message.
std::string encode_frame(const google::protobuf::MessageLite& message);
// A frame header announcing length bytes.
std::string frame_header(std::uint32_t length);
// A connected pair of close-on-exec Unix stream sockets.
std::array<int, 2> socket_pair();

// The test's end of a framed link over a connected socket it owns: it sends
// frames and takes the other side's while running the loop under test.
class frame_peer_t {
public:
  explicit frame_peer_t(int fd = -1) : fd_(fd) {}
  ~frame_peer_t() { reset(-1); }
  frame_peer_t(const frame_peer_t&) = delete;
  frame_peer_t& operator=(const frame_peer_t&) = delete;

  // Takes fd over, closing the socket held before.
  void reset(int fd);
  void send(const google::protobuf::MessageLite& message) { send_raw(encode_frame(message)); }
  void send_raw(const std::string& bytes);
  // The next message, running io until it is whole; throws "closed" when
  // the other end closed instead, and when nothing came by the deadline.
  template <class Message>
  Message receive(boost::asio::io_context& io) {
    Message message;
    if (!message.ParseFromString(next(io))) throw std::runtime_error("a frame that is no message");
    return message;
  }
  // Reads what is there without waiting; true when a whole frame is
  // buffered, whose body is then moved into body.
  bool poll(std::string& body);
  // True when the other end closed and everything was taken.
  bool closed() const { return closed_ && buffered_.empty(); }
  int fd() const { return fd_; }

private:
  std::string next(boost::asio::io_context& io);

  int fd_;
  bool closed_ = false;
  std::string buffered_;
};
