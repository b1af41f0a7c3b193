#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/system/error_code.hpp>

#include "sv_frame.h"
#include "sv_proxy.h"
#include "sv_shared.h"

// One client's proxy session: reads frames, hands scans to the shared
// pool and writes each answer as soon as it is ready, so answers leave in
// the order scans finish (the serials say which request each answers).
// Memory is bounded: once max_outstanding requests are waiting for their
// answers to be written, nothing more is read from the client until some
// have left. A protocol fault ends this session only.
class sv_session_t : public std::enable_shared_from_this<sv_session_t> {
public:
  typedef boost::asio::local::stream_protocol::socket socket_t;

  // Requests taken from the client whose answers have not been written.
  static constexpr std::size_t max_outstanding = 64;

  sv_session_t(socket_t socket, sv_shared_t& shared);
  ~sv_session_t();
  sv_session_t(const sv_session_t&) = delete;
  sv_session_t& operator=(const sv_session_t&) = delete;

  // Starts reading the client's frames.
  void start();
  // Closes the socket; scans not yet begun are skipped and answers still
  // to come are dropped. Safe to call twice.
  void close();

private:
  void do_read();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  void take_frames();
  void make_room();
  void act(sv_proxy_t::action_t&& action);
  void do_scan(sv_proxy_t::action_t&& action);
  void on_scanned(std::uint32_t serial, vx::ScanReport&& report);
  void send(const sv::ServerMessage& message);
  void do_write();
  void on_write(const boost::system::error_code& ec);
  void finish_if_drained();
  bool failed(const boost::system::error_code& ec, const char* operation);
  void fail(const std::string& why);

  socket_t socket_;
  sv_shared_t& shared_;
  sv_proxy_t proxy_;
  // Read by queued scans on the pool's threads: set once the session is
  // closed, so that they are skipped.
  std::shared_ptr<std::atomic<bool>> cancelled_;
  // Received bytes; [head_, tail_) are not taken yet.
  std::unique_ptr<unsigned char[]> input_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  // Bytes the frame at head_ needs in all, once its header is known.
  std::size_t wanted_ = sv_frame_header_size;
  bool reading_ = false;
  // The client will send nothing more; close once every answer is out.
  bool input_ended_ = false;
  bool closed_ = false;
  std::size_t outstanding_ = 0;
  // Frames queued while a write is in flight leave together in the next.
  std::string pending_;
  std::string in_flight_;
  std::size_t pending_answers_ = 0;
  std::size_t in_flight_answers_ = 0;
};
