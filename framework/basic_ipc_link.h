#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include <boost/asio/error.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/core/noncopyable.hpp>
#include <boost/system/error_code.hpp>
#include <google/protobuf/io/zero_copy_stream.h>
#include <google/protobuf/io/zero_copy_stream_impl_lite.h>
#include <google/protobuf/message_lite.h>

#include "error.pb.h"
#include "ipc_buffer.h"
#include "proto_error_category.h"
#include "system_error.h"

// Moves whole protobuf messages over a connected stream socket, each frame
// a 4-byte little-endian body length and one message of 1 to
// max_message_size bytes. Keeps one read outstanding while open; queues
// outgoing frames and writes everything queued meanwhile in one batch.
// Knows no message types: the derived class parses, dispatches and decides
// what a transport failure means. Derived classes are owned by shared_ptr
// and return shared_from_this() from self(), so pending operations keep
// the link alive.
//
// Reads take whatever the socket holds, up to a bounded buffer, and every
// whole frame is cut out of it before the next read: a peer that answers
// in small frames costs one receive per batch rather than two per frame.
template <class Socket>
class cf_basic_ipc_link_t : private boost::noncopyable {
public:
  typedef Socket socket_t;

  // The largest body every link of the suite accepts or sends: 64 MiB.
  static constexpr std::uint32_t default_max_message_size = 0x4000000;
  // Bytes one receive takes at most; a frame that does not fit is read
  // into storage of its own, sized to it.
  static constexpr std::uint32_t default_read_buffer_size = 8192;

  explicit cf_basic_ipc_link_t(std::uint32_t max_message_size = default_max_message_size,
                               std::uint32_t read_buffer_size = default_read_buffer_size)
      // Room for a header and the start of a body, whatever is asked.
      : max_message_size_(max_message_size), read_buffer_size_(std::max<std::uint32_t>(read_buffer_size, 16)) {}
  virtual ~cf_basic_ipc_link_t() = default;

  // Queues one message and starts writing unless a write is outstanding.
  // Throws cf_system_error_t EC_BAD_MESSAGE_SIZE for a message above the
  // limit (and EC_LIMIT_REACHED when the queue would pass 4 GiB); nothing
  // is queued then.
  void async_send_message(const google::protobuf::MessageLite& message);

  // True while a socket is attached and open.
  bool is_open() const { return socket_ && socket_->is_open(); }

  // Starts the read loop; called once after attaching.
  void start_reading();

protected:
  // One received frame; the stream presents the whole body as one block.
  virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
  // One transport failure; neither loop restarts by itself.
  virtual void on_error(const boost::system::error_code& ec) = 0;
  // The owning pointer that pending operations hold.
  virtual std::shared_ptr<cf_basic_ipc_link_t> self() = 0;
  // Hooks around the write path.
  virtual void on_write_started() {}
  virtual void on_write_finished() {}
  virtual void on_write_queue_empty() {}

  // Attaches a connected socket and starts the read loop.
  void adopt(std::shared_ptr<Socket> socket) {
    socket_ = std::move(socket);
    start_reading();
  }
  // Attaches a descriptor handed to this process, then starts the read
  // loop. The descriptor belongs to the link from here on: when it cannot
  // be attached it is closed and cf_system_error_t thrown, prefixed what.
  void adopt(boost::asio::io_context& io, int fd, const char* what);

  // Closes the socket; completions still pending are dropped.
  void close_socket() {
    if (socket_) {
      boost::system::error_code ignored;
      socket_->close(ignored);
    }
  }

  const std::uint32_t max_message_size_;
  std::shared_ptr<Socket> socket_;

private:
  void do_read();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  void cut_frames();
  void do_read_large(std::uint32_t length, std::uint32_t have);
  void on_read_large(const boost::system::error_code& ec);
  void deliver(const std::uint8_t* body, std::uint32_t size);
  void start_write();
  void handle_write(const boost::system::error_code& ec);
  void handle_error(const boost::system::error_code& ec) {
    if (ec != boost::asio::error::operation_aborted) on_error(ec);
  }

  const std::uint32_t read_buffer_size_;
  // Bytes received and not yet handed over start at read_begin_; the
  // array keeps read_buffer_size_ bytes for the life of the link.
  ipc_buffer_t read_;
  std::uint32_t read_begin_ = 0;
  // The body of a frame larger than the read buffer.
  ipc_buffer_t large_;
  ipc_buffer_t pending_;
  ipc_buffer_t in_flight_;
};

template <class Socket>
void cf_basic_ipc_link_t<Socket>::adopt(boost::asio::io_context& io, int fd, const char* what) {
  auto socket = std::make_shared<Socket>(io);
  boost::system::error_code ec;
  socket->assign(typename Socket::protocol_type(), fd, ec);
  if (ec) {
    ::close(fd);
    throw cf_system_error_t(ec, what);
  }
  adopt(std::move(socket));
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::start_reading() {
  if (read_.capacity() < read_buffer_size_) read_.resize(read_buffer_size_, true);
  read_.resize(0, true);
  read_begin_ = 0;
  do_read();
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::do_read() {
  auto holder = self();
  socket_->async_read_some(boost::asio::buffer(read_.data() + read_.size(), read_.capacity() - read_.size()),
                           [holder](const boost::system::error_code& ec, std::size_t n) { holder->on_read(ec, n); });
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::on_read(const boost::system::error_code& ec, std::size_t n) {
  if (!is_open()) return;
  if (ec) return handle_error(ec);
  read_.resize(read_.size() + static_cast<std::uint32_t>(n), false);
  cut_frames();
}

// Hands over every whole frame in the buffer, in order, then reads on.
// A bad length ends the loop where it stands: the frames before it count.
template <class Socket>
void cf_basic_ipc_link_t<Socket>::cut_frames() {
  while (read_.size() - read_begin_ >= 4) {
    const std::uint8_t* h = read_.data() + read_begin_;
    const std::uint32_t length = static_cast<std::uint32_t>(h[0]) | static_cast<std::uint32_t>(h[1]) << 8 |
                                 static_cast<std::uint32_t>(h[2]) << 16 | static_cast<std::uint32_t>(h[3]) << 24;
    if (length == 0 || length > max_message_size_) return handle_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
    const std::uint32_t have = read_.size() - read_begin_ - 4;
    if (length > have) {
      if (std::uint64_t{4} + length > read_.capacity()) return do_read_large(length, have);
      break;
    }
    read_begin_ += 4 + length;
    deliver(h + 4, length);
    // The derived class may have closed the link over this frame.
    if (!is_open()) return;
  }
  // A partial frame moves to the front, so that the rest of it fits.
  const std::uint32_t rest = read_.size() - read_begin_;
  if (rest > 0 && read_begin_ > 0) std::memmove(read_.data(), read_.data() + read_begin_, rest);
  read_.resize(rest, false);
  read_begin_ = 0;
  do_read();
}

// The buffer holds nothing past this frame's first bytes (it could not
// hold the whole frame), so the rest is read to its exact end.
template <class Socket>
void cf_basic_ipc_link_t<Socket>::do_read_large(std::uint32_t length, std::uint32_t have) {
  large_.resize(length, true);
  if (have > 0) std::memcpy(large_.data(), read_.data() + read_begin_ + 4, have);
  read_.resize(0, true);
  read_begin_ = 0;
  auto holder = self();
  boost::asio::async_read(*socket_, boost::asio::buffer(large_.data() + have, length - have),
                          [holder](const boost::system::error_code& ec, std::size_t) { holder->on_read_large(ec); });
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::on_read_large(const boost::system::error_code& ec) {
  if (!is_open()) return;
  if (ec) return handle_error(ec);
  deliver(large_.data(), large_.size());
  large_.resize(0, true);
  if (is_open()) do_read();
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::deliver(const std::uint8_t* body, std::uint32_t size) {
  google::protobuf::io::ArrayInputStream stream(body, static_cast<int>(size), static_cast<int>(size));
  on_message(stream);
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::async_send_message(const google::protobuf::MessageLite& message) {
  const std::size_t size = message.ByteSizeLong();
  if (size > max_message_size_)
    throw cf_system_error_t(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE), "async_send_message");
  const std::uint64_t total = static_cast<std::uint64_t>(pending_.size()) + 4 + size;
  // A peer that stops reading must not make the queue wrap around.
  if (total > UINT32_MAX) throw cf_system_error_t(vx::make_error_code(vx::EC_LIMIT_REACHED), "async_send_message");
  const std::uint32_t at = pending_.size();
  pending_.resize(static_cast<std::uint32_t>(total), false);
  std::uint8_t* p = pending_.data() + at;
  const auto length = static_cast<std::uint32_t>(size);
  p[0] = static_cast<std::uint8_t>(length);
  p[1] = static_cast<std::uint8_t>(length >> 8);
  p[2] = static_cast<std::uint8_t>(length >> 16);
  p[3] = static_cast<std::uint8_t>(length >> 24);
  message.SerializeWithCachedSizesToArray(p + 4);
  start_write();
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::start_write() {
  // Without an open socket frames stay queued; the derived class decides
  // whether they are sent after attaching or dropped with the link.
  if (!in_flight_.empty() || !is_open()) return;
  if (pending_.empty()) {
    on_write_queue_empty();
    return;
  }
  pending_.swap(in_flight_);
  on_write_started();
  auto holder = self();
  boost::asio::async_write(*socket_, boost::asio::buffer(in_flight_.data(), in_flight_.size()),
                           [holder](const boost::system::error_code& ec, std::size_t) { holder->handle_write(ec); });
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::handle_write(const boost::system::error_code& ec) {
  if (!is_open()) return;
  if (ec) return handle_error(ec);
  in_flight_.resize(0, true);
  on_write_finished();
  start_write();
}
