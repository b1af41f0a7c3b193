// The framed link over a real socketpair: the daemon's end is the link, the
// test plays the other end with plain blocking calls.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "basic_ipc_link.h"
#include "courier_client_ipc.pb.h"
#include "frames.h"
#include "run_until.h"
#include "text_message.h"
#include "thrown.h"

namespace {

using local_socket_t = boost::asio::local::stream_protocol::socket;

// A limit small enough that a frame at it costs nothing to send, and a
// read buffer that frames of a few dozen bytes already overflow.
constexpr uint32_t limit = 1000;
constexpr uint32_t buffer_size = 64;

class test_link_t : public std::enable_shared_from_this<test_link_t>, public cf_basic_ipc_link_t<local_socket_t> {
public:
  test_link_t(boost::asio::io_context& io, int fd) : cf_basic_ipc_link_t(limit, buffer_size) {
    socket_ = std::make_shared<local_socket_t>(io);
    socket_->assign(boost::asio::local::stream_protocol(), fd);
  }
  void close() { close_socket(); }

  std::vector<std::string> bodies;
  std::vector<boost::system::error_code> errors;
  int writes_started = 0;

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override {
    const void* data;
    int size;
    std::string s;
    while (body.Next(&data, &size)) s.append(static_cast<const char*>(data), static_cast<size_t>(size));
    bodies.push_back(s);
  }
  void on_error(const boost::system::error_code& ec) override { errors.push_back(ec); }
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }
  void on_write_started() override { ++writes_started; }
};

struct IpcLink : ::testing::Test {
  void SetUp() override {
    const auto fds = socket_pair();
    peer.reset(fds[1]);
    link = std::make_shared<test_link_t>(io, fds[0]);
  }
  // The bodies of the frames the peer has been sent.
  std::vector<std::string> received() {
    std::vector<std::string> bodies;
    for (std::string body; peer.poll(body);) bodies.push_back(body);
    return bodies;
  }

  boost::asio::io_context io;
  frame_peer_t peer;
  std::shared_ptr<test_link_t> link;
};

cr::ClientMessage message(uint32_t job_id, size_t data_size = 0) {
  return parse_text<cr::ClientMessage>("tag: DATA_CHUNK job_id: " + std::to_string(job_id) +
                                       (data_size ? " data: '" + std::string(data_size, 'd') + "'" : ""));
}

}  // namespace

// Frames below the buffer, one filling it exactly, one a byte over it and
// one far over it, written whole, a byte at a time and in pieces that
// straddle every boundary: each arrives whole, in order, as soon as its
// last byte is there.
TEST_F(IpcLink, FramesArriveWholeInOrderHoweverTheBytesAreSplit) {
  link->start_reading();
  const std::vector<std::string> frames = {"hello, link", std::string(buffer_size - 4, 'f'),
                                           std::string(buffer_size - 3, 'g'), std::string(300, 'x'), "a"};
  std::string wire;
  std::vector<size_t> ends;
  for (const auto& body : frames) {
    wire += frame_header(body.size()) + body;
    ends.push_back(wire.size());
  }
  std::vector<std::string> expected;
  for (size_t piece : {wire.size(), size_t{1}, size_t{7}, size_t{buffer_size - 1}}) {
    const size_t before = link->bodies.size();
    for (size_t at = 0; at < wire.size(); at += piece) {
      peer.send_raw(wire.substr(at, piece));
      run_ready(io);
      const size_t whole = std::upper_bound(ends.begin(), ends.end(), std::min(at + piece, wire.size())) - ends.begin();
      ASSERT_EQ(before + whole, link->bodies.size()) << "pieces of " << piece << ", at " << at;
    }
    expected.insert(expected.end(), frames.begin(), frames.end());
  }
  EXPECT_EQ(expected, link->bodies);
  EXPECT_TRUE(link->errors.empty());
}

// An empty frame and the peer's end stop the loop the same way, which the
// black-box supervisor-link tests see as one error line and an exit.
TEST_F(IpcLink, ReadLoopEndsWithOneErrorPastTheLimit) {
  link->start_reading();
  // Were the loop to go on, the last frame would be read as a good one.
  peer.send_raw(frame_header(limit) + std::string(limit, 'b') + frame_header(limit + 1) + frame_header(2) + "ok");
  ::shutdown(peer.fd(), SHUT_WR);
  io.run();  // ends when the failed loop leaves nothing pending
  EXPECT_EQ(1u, link->bodies.size());
  EXPECT_EQ(std::vector<boost::system::error_code>{vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE)}, link->errors);
}

TEST_F(IpcLink, FramesQueuedDuringAWriteLeaveTogetherInOrderAndNoneAboveTheLimit) {
  // Tag and job id take two bytes each, the data's key one, its length two.
  const cr::ClientMessage largest = message(4, limit - 7);
  ASSERT_EQ(limit, largest.ByteSizeLong());
  std::vector<std::string> sent;
  for (uint32_t id = 1; id <= 4; ++id) {
    link->async_send_message(id == 4 ? largest : message(id));
    sent.push_back((id == 4 ? largest : message(id)).SerializeAsString());
  }
  EXPECT_EQ("async_send_message: Invalid IPC message size [vx.Error:7]",
            thrown([&] { link->async_send_message(message(5, limit - 6)); }));
  // The first frame went out alone; the three queued behind it form the
  // second batch.
  io.run();
  EXPECT_EQ(2, link->writes_started);
  EXPECT_EQ(sent, received());
}

TEST_F(IpcLink, CloseWithAReadOutstandingReportsNothing) {
  link->start_reading();
  run_ready(io);
  link->close();
  io.restart();
  io.run();  // the cancelled read completes; nothing else is pending
  EXPECT_EQ(std::make_tuple(0u, false, 1L), std::make_tuple(link->errors.size(), link->is_open(), link.use_count()));
}
