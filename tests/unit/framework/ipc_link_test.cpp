// The framed link over a real socketpair: the daemon's end is the link, the
// test drives the other end with plain blocking calls.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "basic_ipc_link.h"
#include "courier_client_ipc.pb.h"
#include "ipc_buffer.h"

namespace {

using local_socket_t = boost::asio::local::stream_protocol::socket;

class test_link_t : public std::enable_shared_from_this<test_link_t>, public cf_basic_ipc_link_t<local_socket_t> {
public:
  test_link_t(boost::asio::io_context& io, int fd) {
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

struct fixture_t : ::testing::Test {
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    peer = fds[1];
    link = std::make_shared<test_link_t>(io, fds[0]);
  }
  void TearDown() override {
    if (peer >= 0) ::close(peer);
  }

  // Runs the loop until pred holds; fails after a generous deadline.
  void run_until(const std::function<bool()>& pred) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!pred()) {
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "timed out";
      io.restart();
      io.run_for(std::chrono::milliseconds(20));
    }
  }
  void peer_write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(peer, bytes.data() + done, bytes.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<size_t>(n);
    }
  }
  std::string peer_read(size_t size) {
    std::string s(size, '\0');
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::read(peer, &s[done], size - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    s.resize(done);
    return s;
  }

  boost::asio::io_context io;
  int peer = -1;
  std::shared_ptr<test_link_t> link;
};

std::string header(uint32_t n) {
  return std::string{static_cast<char>(n), static_cast<char>(n >> 8), static_cast<char>(n >> 16),
                     static_cast<char>(n >> 24)};
}

cr::ClientMessage data_message(size_t data_size) {
  cr::ClientMessage m;
  m.set_tag(cr::ClientMessage::DATA_CHUNK);
  m.mutable_data()->assign(data_size, 'd');
  return m;
}

}  // namespace

TEST(IpcBuffer, GrowsByHalfAndNeverShrinks) {
  ipc_buffer_t b;
  EXPECT_EQ(nullptr, b.data());
  b.resize(4, false);
  EXPECT_EQ(4u, b.capacity());
  std::memcpy(b.data(), "abcd", 4);
  b.resize(5, false);  // 1.5 x 4 = 6
  EXPECT_EQ(6u, b.capacity());
  EXPECT_EQ(0, std::memcmp(b.data(), "abcd", 4));
  b.resize(100, false);  // the request wins over 1.5 x
  EXPECT_EQ(100u, b.capacity());
  EXPECT_EQ(0, std::memcmp(b.data(), "abcd", 4));
  b.resize(0, true);
  EXPECT_EQ(100u, b.capacity());
  EXPECT_EQ(0u, b.size());
  ipc_buffer_t other;
  other.swap(b);
  EXPECT_EQ(100u, other.capacity());
  EXPECT_EQ(0u, b.capacity());
}

using IpcLink = fixture_t;

TEST_F(IpcLink, FramesSplitAcrossManyReadsArriveWhole) {
  link->async_read_header();
  const std::string first = "hello, link";
  const std::string second(3000, 'x');
  const std::string wire = header(first.size()) + first + header(second.size()) + second;
  // Byte by byte up to one short of the first frame's end.
  const size_t cut = 4 + first.size() - 1;
  for (char c : wire.substr(0, cut)) {
    peer_write(std::string(1, c));
    io.restart();
    io.poll();
  }
  EXPECT_TRUE(link->bodies.empty());
  peer_write(wire.substr(cut));
  run_until([&] { return link->bodies.size() == 2; });
  EXPECT_EQ(first, link->bodies[0]);
  EXPECT_EQ(second, link->bodies[1]);
  EXPECT_TRUE(link->errors.empty());
}

TEST_F(IpcLink, ZeroLengthEndsTheLoop) {
  link->async_read_header();
  peer_write(header(0) + header(2) + "ok");
  run_until([&] { return !link->errors.empty(); });
  io.restart();
  io.poll();
  EXPECT_EQ(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE), link->errors.at(0));
  EXPECT_EQ(1u, link->errors.size());
  EXPECT_TRUE(link->bodies.empty());
}

TEST_F(IpcLink, LargestFrameIsReadAndOneMoreIsRefused) {
  const uint32_t limit = cf_basic_ipc_link_t<local_socket_t>::default_max_message_size;
  link->async_read_header();
  const std::string body(limit, 'b');
  std::thread writer([&] { peer_write(header(limit) + body + header(limit + 1)); });
  run_until([&] { return !link->errors.empty(); });
  writer.join();
  ASSERT_EQ(1u, link->bodies.size());
  EXPECT_EQ(limit, link->bodies[0].size());
  EXPECT_EQ(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE), link->errors.at(0));
}

TEST_F(IpcLink, FramesQueuedDuringAWriteLeaveTogetherInOrder) {
  cr::ClientMessage m;
  m.set_tag(cr::ClientMessage::INIT);
  for (uint32_t id = 1; id <= 4; ++id) {
    m.set_job_id(id);
    link->async_send_message(m);
  }
  // The first frame went out alone; the three queued behind it form the
  // second batch.
  run_until([&] { return link->writes_started == 2; });
  io.restart();
  io.poll();
  EXPECT_EQ(2, link->writes_started);
  for (uint32_t id = 1; id <= 4; ++id) {
    const std::string h = peer_read(4);
    ASSERT_EQ(4u, h.size());
    const uint32_t n = static_cast<uint8_t>(h[0]) | static_cast<uint8_t>(h[1]) << 8;
    cr::ClientMessage got;
    ASSERT_TRUE(got.ParseFromString(peer_read(n)));
    EXPECT_EQ(id, got.job_id());
  }
}

TEST_F(IpcLink, SendAboveTheLimitThrowsAndLeavesTheQueue) {
  const uint32_t limit = cf_basic_ipc_link_t<local_socket_t>::default_max_message_size;
  // tag (2 bytes) + key (1) + four-byte length + data = limit
  cr::ClientMessage largest = data_message(limit - 7);
  ASSERT_EQ(limit, largest.ByteSizeLong());
  cr::ClientMessage too_large = data_message(limit - 6);
  try {
    link->async_send_message(too_large);
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE), e.code());
    EXPECT_STREQ("async_send_message: Invalid IPC message size [vx.Error:7]", e.what());
  }
  link->async_send_message(largest);
  std::string received;
  std::thread reader([&] { received = peer_read(4 + limit); });
  run_until([&] { return link->writes_started == 1 && received.size() == 4 + limit; });
  reader.join();
  EXPECT_EQ(header(limit), received.substr(0, 4));
  cr::ClientMessage got;
  ASSERT_TRUE(got.ParseFromString(received.substr(4)));
  EXPECT_EQ(limit - 7, got.data().size());
}

TEST_F(IpcLink, CloseWithAReadOutstandingReportsNothing) {
  link->async_read_header();
  io.poll();
  link->close();
  io.restart();
  io.run();  // the cancelled read completes; nothing else is pending
  EXPECT_TRUE(link->errors.empty());
  EXPECT_FALSE(link->is_open());
  EXPECT_EQ(1, link.use_count());
}

TEST_F(IpcLink, PeerCloseReportsEndOfFileOnce) {
  link->async_read_header();
  peer_write(header(2) + "ok");
  ::close(peer);
  peer = -1;
  io.run();  // ends when the failed loop leaves nothing pending
  ASSERT_EQ(1u, link->bodies.size());
  ASSERT_EQ(1u, link->errors.size());
  EXPECT_EQ(boost::asio::error::eof, link->errors[0]);
  EXPECT_EQ("End of file", link->errors[0].message());
}
