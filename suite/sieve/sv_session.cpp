#include "sv_session.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <utility>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "log.h"

#define SESSION_DEBUG(s) CF_DEBUG("sv_session_t(" << static_cast<const void*>(this) << "): " << s)

namespace {

// Read size while no large frame is on its way; the buffer returns to it
// once a larger one has been taken.
constexpr std::size_t read_chunk = 64 * 1024;
// An output buffer that held a large report is not kept that large.
constexpr std::size_t kept_output = 1024 * 1024;

// Runs on a pool thread: whatever goes wrong inside the engine becomes an
// error in the file's report instead of ending the thread.
vx::ScanReport scan_file(const eng_engine_t& engine, const std::string& path, const eng_options_t& options) {
  try {
    return engine.scan_file(path, options);
  } catch (const std::exception&) {
    vx::ScanReport report;
    report.set_object(path);
    report.set_error(vx::SE_ENGINE_ERROR);
    return report;
  }
}

}  // namespace

sv_session_t::sv_session_t(socket_t socket, sv_shared_t& shared)
    : socket_(std::move(socket)),
      shared_(shared),
      proxy_(shared.threats),
      cancelled_(std::make_shared<std::atomic<bool>>(false)) {
  SESSION_DEBUG("created");
}

sv_session_t::~sv_session_t() { SESSION_DEBUG("destroyed"); }

void sv_session_t::start() { do_read(); }

void sv_session_t::close() {
  if (closed_) return;
  closed_ = true;
  *cancelled_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
  SESSION_DEBUG("closed");
}

void sv_session_t::do_read() {
  if (reading_ || closed_ || input_ended_) return;
  make_room();
  reading_ = true;
  auto self = shared_from_this();
  socket_.async_read_some(boost::asio::buffer(input_.get() + tail_, capacity_ - tail_),
                          [self](const boost::system::error_code& ec, std::size_t n) { self->on_read(ec, n); });
}

void sv_session_t::on_read(const boost::system::error_code& ec, std::size_t n) {
  reading_ = false;
  if (failed(ec, "read")) return;
  tail_ += n;
  take_frames();
}

void sv_session_t::take_frames() {
  while (!closed_ && outstanding_ < max_outstanding) {
    const sv_frame_t frame = sv_cut_frame(input_.get() + head_, tail_ - head_);
    if (frame.status == sv_frame_t::bad_size)
      return fail("frame length " + std::to_string(frame.body_size) + " is out of range");
    if (frame.status == sv_frame_t::incomplete) {
      wanted_ = frame.needed;
      return do_read();
    }
    wanted_ = sv_frame_header_size;
    sv_proxy_t::action_t action = proxy_.on_frame(input_.get() + head_ + sv_frame_header_size, frame.body_size);
    head_ += frame.needed;
    act(std::move(action));
  }
  // Paused (or closed): on_write takes up the remaining frames once answers
  // have left.
}

void sv_session_t::make_room() {
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

void sv_session_t::act(sv_proxy_t::action_t&& action) {
  switch (action.kind) {
    case sv_proxy_t::action_t::none:
      if (!action.note.empty()) SESSION_DEBUG(action.note);
      break;
    case sv_proxy_t::action_t::reply:
      if (!action.note.empty()) SESSION_DEBUG(action.note);
      ++outstanding_;
      send(action.answer);
      break;
    case sv_proxy_t::action_t::scan:
      ++outstanding_;
      do_scan(std::move(action));
      break;
    case sv_proxy_t::action_t::fault:
      fail(action.note);
      break;
  }
}

void sv_session_t::do_scan(sv_proxy_t::action_t&& action) {
  // The scan keeps the session alive, for nothing else may be pending
  // while the session waits at its limit. The pool thread only carries
  // the pointer back to the event loop, so the session is always released
  // there; a session closed meanwhile has its queued scans skipped.
  auto self = shared_from_this();
  auto loop = socket_.get_executor();
  const eng_engine_t& engine = shared_.engine;
  boost::asio::post(shared_.pool, [self = std::move(self), loop, cancelled = cancelled_, &engine,
                                   serial = action.serial, path = std::move(action.path),
                                   options = action.options]() mutable {
    vx::ScanReport report;
    const bool skipped = *cancelled;
    if (!skipped) report = scan_file(engine, path, options);
    boost::asio::post(loop, [self = std::move(self), serial, skipped, report = std::move(report)]() mutable {
      if (!skipped) self->on_scanned(serial, std::move(report));
    });
  });
}

void sv_session_t::on_scanned(std::uint32_t serial, vx::ScanReport&& report) {
  if (closed_) return;
  const sv::ServerMessage response = proxy_.scan_response(serial, std::move(report));
  if (response.has_threat_id()) {
    const vx::Virus* threat = sv_first_threat(response.scan_report());
    CF_INFO("Sieve: threat #" << response.threat_id() << " " << (threat ? threat->name() : std::string()) << " in "
                              << response.scan_report().object());
  }
  send(response);
}

void sv_session_t::send(const sv::ServerMessage& message) {
  sv_append_frame(pending_, message);
  ++pending_answers_;
  do_write();
}

void sv_session_t::do_write() {
  if (closed_ || !in_flight_.empty() || pending_.empty()) return;
  in_flight_.swap(pending_);
  in_flight_answers_ = pending_answers_;
  pending_answers_ = 0;
  auto self = shared_from_this();
  boost::asio::async_write(socket_, boost::asio::buffer(in_flight_),
                           [self](const boost::system::error_code& ec, std::size_t) { self->on_write(ec); });
}

void sv_session_t::on_write(const boost::system::error_code& ec) {
  if (failed(ec, "write")) return;
  outstanding_ -= in_flight_answers_;
  in_flight_answers_ = 0;
  in_flight_.clear();
  if (in_flight_.capacity() > kept_output) std::string().swap(in_flight_);
  do_write();
  if (input_ended_) return finish_if_drained();
  // Frames left waiting while the session was at its limit.
  if (!reading_) take_frames();
}

void sv_session_t::finish_if_drained() {
  if (outstanding_ != 0) return;
  SESSION_DEBUG("client finished");
  close();
}

bool sv_session_t::failed(const boost::system::error_code& ec, const char* operation) {
  if (!ec) return closed_;
  if (ec == boost::asio::error::operation_aborted || closed_) return true;
  if (ec == boost::asio::error::eof) {
    // A client may stop sending and still wait for its answers.
    if (tail_ != head_) SESSION_DEBUG("client stopped in the middle of a frame");
    input_ended_ = true;
    finish_if_drained();
  } else if (ec == boost::asio::error::connection_reset || ec == boost::asio::error::broken_pipe) {
    // The client went away; its answers are of no use to anyone now.
    SESSION_DEBUG("client closed the session (" << operation << ": " << ec.message() << ")");
    close();
  } else {
    fail(std::string(operation) + ": " + ec.message());
  }
  return true;
}

void sv_session_t::fail(const std::string& why) {
  CF_WARNING("Sieve: closing a client session: " << why);
  close();
}
