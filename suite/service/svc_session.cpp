#include "svc_session.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include "log.h"

namespace {

// Read size while no large frame is on its way; the buffer returns to it
// once a larger one has been taken.
constexpr std::size_t read_chunk = 64 * 1024;
// An output buffer that held a large answer is not kept that large.
constexpr std::size_t kept_output = 1024 * 1024;

}  // namespace

svc_session_t::svc_session_t(socket_t socket, std::string service)
    : socket_(std::move(socket)), service_(std::move(service)), cancelled_(std::make_shared<std::atomic<bool>>(false)) {
  debug("created");
}

svc_session_t::~svc_session_t() { debug("destroyed"); }

void svc_session_t::debug(const std::string& note) const {
  CF_DEBUG(service_ << " session(" << static_cast<const void*>(this) << "): " << note);
}

void svc_session_t::start() { do_read(); }

void svc_session_t::close() {
  if (closed_) return;
  closed_ = true;
  *cancelled_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  debug("closed");
}

void svc_session_t::do_read() {
  if (reading_ || closed_ || input_ended_) return;
  make_room();
  reading_ = true;
  auto self = shared_from_this();
  socket_.async_read_some(boost::asio::buffer(input_.get() + tail_, capacity_ - tail_),
                          [self](const boost::system::error_code& ec, std::size_t n) { self->on_read(ec, n); });
}

void svc_session_t::on_read(const boost::system::error_code& ec, std::size_t n) {
  reading_ = false;
  if (failed(ec, "read")) return;
  tail_ += n;
  take_frames();
}

void svc_session_t::take_frames() {
  taking_ = true;
  while (!closed_ && !saturated()) {
    const svc_frame_t frame = svc_cut_frame(input_.get() + head_, tail_ - head_, max_frame());
    if (frame.status == svc_frame_t::bad_size) {
      taking_ = false;
      return fail("frame length " + std::to_string(frame.body_size) + " is out of range");
    }
    if (frame.status == svc_frame_t::incomplete) {
      taking_ = false;
      wanted_ = frame.needed;
      return do_read();
    }
    wanted_ = svc_frame_header_size;
    const unsigned char* body = input_.get() + head_ + svc_frame_header_size;
    head_ += frame.needed;
    on_frame(body, frame.body_size);
  }
  taking_ = false;
  // Saturated (or closed): after_answers takes up the remaining frames
  // once answers have left.
}

void svc_session_t::make_room() {
  const std::size_t unread = tail_ - head_;
  if (unread == 0) {
    head_ = tail_ = 0;
    if (capacity_ > read_chunk) capacity_ = 0;  // let a large buffer go
  }
  // Room for the whole frame in progress, and always some for new bytes.
  const std::size_t room = std::max(wanted_, unread + read_chunk / 4);
  if (capacity_ - head_ >= room) return;
  if (capacity_ >= room) {
    std::memmove(input_.get(), input_.get() + head_, unread);
  } else {
    // The frame's length was checked against the limit before this.
    const std::size_t capacity = std::max(room, read_chunk);
    std::unique_ptr<unsigned char[]> bigger(new unsigned char[capacity]);
    if (unread != 0) std::memcpy(bigger.get(), input_.get() + head_, unread);
    input_ = std::move(bigger);
    capacity_ = capacity;
  }
  head_ = 0;
  tail_ = unread;
}

void svc_session_t::send(const google::protobuf::MessageLite& message, bool answer) {
  queue(message, answer);
  do_write();
}

void svc_session_t::queue(const google::protobuf::MessageLite& message, bool answer) {
  svc_append_frame(pending_, message);
  if (answer) ++pending_answers_;
}

void svc_session_t::drop_answer() {
  --outstanding_;
  after_answers();
}

void svc_session_t::do_write() {
  if (closed_ || !in_flight_.empty()) return;
  before_write();
  if (pending_.empty()) return;
  in_flight_.swap(pending_);
  in_flight_answers_ = pending_answers_;
  pending_answers_ = 0;
  auto self = shared_from_this();
  boost::asio::async_write(socket_, boost::asio::buffer(in_flight_),
                           [self](const boost::system::error_code& ec, std::size_t) { self->on_write(ec); });
}

void svc_session_t::on_write(const boost::system::error_code& ec) {
  if (failed(ec, "write")) return;
  outstanding_ -= in_flight_answers_;
  in_flight_answers_ = 0;
  in_flight_.clear();
  if (in_flight_.capacity() > kept_output) std::string().swap(in_flight_);
  do_write();
  after_answers();
}

void svc_session_t::after_answers() {
  if (closed_ || taking_) return;
  if (input_ended_) {
    if (outstanding_ != 0) return;
    debug("client finished");
    return close();
  }
  // Frames left waiting while the session was saturated.
  if (!reading_) take_frames();
}

bool svc_session_t::failed(const boost::system::error_code& ec, const char* operation) {
  if (!ec) return closed_;
  if (ec == boost::asio::error::operation_aborted || closed_) return true;
  if (ec == boost::asio::error::eof) {
    // A client may stop sending and still wait for its answers.
    if (tail_ != head_) debug("client stopped in the middle of a frame");
    input_ended_ = true;
    after_answers();
  } else if (ec == boost::asio::error::connection_reset || ec == boost::asio::error::broken_pipe) {
    // The client went away; its answers are of no use to anyone now.
    debug(std::string("client closed the session (") + operation + ": " + ec.message() + ")");
    close();
  } else {
    fail(std::string(operation) + ": " + ec.message());
  }
  return true;
}

void svc_session_t::fail(const std::string& why) {
  CF_WARNING(service_ << ": closing a client session: " << why);
  close();
}
