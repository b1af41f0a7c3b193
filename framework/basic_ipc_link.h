#pragma once

#include <cstdint>
#include <memory>

#include <boost/asio/error.hpp>
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
template <class Socket>
class cf_basic_ipc_link_t : private boost::noncopyable {
public:
  typedef Socket socket_t;

  // The largest body every link of the suite accepts or sends: 64 MiB.
  static constexpr std::uint32_t default_max_message_size = 0x4000000;

  explicit cf_basic_ipc_link_t(std::uint32_t max_message_size = default_max_message_size)
      : max_message_size_(max_message_size) {}
  virtual ~cf_basic_ipc_link_t() = default;

  // Queues one message and starts writing unless a write is outstanding.
  // Throws cf_system_error_t EC_BAD_MESSAGE_SIZE for a message above the
  // limit (and EC_LIMIT_REACHED when the queue would pass 4 GiB); nothing
  // is queued then.
  void async_send_message(const google::protobuf::MessageLite& message);

  // True while a socket is attached and open.
  bool is_open() const { return socket_ && socket_->is_open(); }

  // Starts reading the next frame; called once after attaching.
  void async_read_header();

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
  void handle_read_header(const boost::system::error_code& ec);
  void handle_read_body(const boost::system::error_code& ec);
  void start_write();
  void handle_write(const boost::system::error_code& ec);
  void handle_error(const boost::system::error_code& ec) {
    if (ec != boost::asio::error::operation_aborted) on_error(ec);
  }

  ipc_buffer_t read_;
  ipc_buffer_t pending_;
  ipc_buffer_t in_flight_;
};

template <class Socket>
void cf_basic_ipc_link_t<Socket>::async_read_header() {
  read_.resize(4, true);
  auto holder = self();
  boost::asio::async_read(*socket_, boost::asio::buffer(read_.data(), 4),
                          [holder](const boost::system::error_code& ec, std::size_t) {
                            holder->handle_read_header(ec);
                          });
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::handle_read_header(const boost::system::error_code& ec) {
  if (!is_open()) return;
  if (ec) return handle_error(ec);
  const std::uint8_t* h = read_.data();
  const std::uint32_t length = static_cast<std::uint32_t>(h[0]) | static_cast<std::uint32_t>(h[1]) << 8 |
                               static_cast<std::uint32_t>(h[2]) << 16 | static_cast<std::uint32_t>(h[3]) << 24;
  if (length == 0 || length > max_message_size_) return handle_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
  read_.resize(length, true);
  auto holder = self();
  boost::asio::async_read(*socket_, boost::asio::buffer(read_.data(), length),
                          [holder](const boost::system::error_code& ec, std::size_t) {
                            holder->handle_read_body(ec);
                          });
}

template <class Socket>
void cf_basic_ipc_link_t<Socket>::handle_read_body(const boost::system::error_code& ec) {
  if (!is_open()) return;
  if (ec) return handle_error(ec);
  {
    google::protobuf::io::ArrayInputStream body(read_.data(), static_cast<int>(read_.size()),
                                                static_cast<int>(read_.size()));
    on_message(body);
  }
  read_.resize(0, true);
  if (is_open()) async_read_header();
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
