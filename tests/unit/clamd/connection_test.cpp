// Framing of the clamd byte stream, through a connection whose commands
// echo what the framing delivered.
#include <regex>

#include <gtest/gtest.h>

#include "clamd_connection.h"
#include "client_harness.h"

namespace {

class echo_connection_t : public cl_clamd_connection_t, public std::enable_shared_from_this<echo_connection_t> {
public:
  // Errors go to a log the test keeps: the test must not keep the
  // connection itself alive, since dropping the last reference ends it.
  echo_connection_t(cl_inventory_t& inventory, std::shared_ptr<std::vector<std::string>> errors)
      : cl_clamd_connection_t(inventory, "t"), errors_(std::move(errors)) {}

protected:
  cl_clamd_state_t on_command() override {
    if (command_ == "SESSION") {
      in_session_ = true;
      return cl_clamd_state_t::make(cl_clamd_state_t::next_command);
    }
    if (command_ == "ARGS")
      return cl_clamd_state_t::read_arguments([this](boost::asio::const_buffer b) {
        write_reply("arg=" + std::string(static_cast<const char*>(b.data()), b.size()));
        return finish_command();
      });
    if (command_ == "BLOCK")
      return cl_clamd_state_t::read_block(4, [this](boost::asio::const_buffer b) {
        write_reply("block=" + std::string(static_cast<const char*>(b.data()), b.size()));
        return finish_command();
      });
    if (command_ == "MANY") {
      write_reply("a");
      write_reply("b");
      write_reply("c");
      return finish_command();
    }
    write_reply("cmd=" + command_ + (has_arguments_ ? " +args" : ""));
    return finish_command();
  }
  void on_io_error(const boost::system::error_code& ec) override {
    errors_->push_back(ec.message());
    stop();
  }
  std::shared_ptr<cl_clamd_connection_t> self() override { return shared_from_this(); }
  void stop() override { close(); }
  bool has_jobs() override { return false; }

private:
  std::shared_ptr<std::vector<std::string>> errors_;
};

// Starts an echo connection on a fresh client of the harness.
std::shared_ptr<std::vector<std::string>> start_echo(clamd_harness_t& h,
                                                     std::shared_ptr<counting_socket_t>* socket = nullptr) {
  auto errors = std::make_shared<std::vector<std::string>>();
  auto s = h.connect();
  if (socket) *socket = s;
  std::make_shared<echo_connection_t>(h.inventory, errors)->start(s);
  return errors;
}

struct Framing : ::testing::Test {
  // One client: sends the pieces, letting the daemon read between them,
  // and returns everything it got until the daemon closed.
  std::string converse(std::initializer_list<std::string> pieces) {
    errors = start_echo(h, &socket);
    for (const auto& piece : pieces) {
      h.send(piece);
      h.poll();
    }
    return h.receive();
  }
  clamd_harness_t h;
  std::shared_ptr<std::vector<std::string>> errors;
  std::shared_ptr<counting_socket_t> socket;
};

}  // namespace

TEST_F(Framing, PrefixesDecideDelimiterAndReplyTerminator) {
  using namespace std::string_literals;
  const std::pair<std::string, std::string> cases[] = {
      {"nPING\n", "cmd=PING\n"},
      {"zPING\0"s, "cmd=PING\0"s},
      {"nPING\r\n", "cmd=PING\n"},
      {"PING\n", "cmd=PING\n"},
      {"PING", "cmd=PING\n"},  // unprefixed: what has arrived is the command
      {"\n", "cmd=\n"},        // a lone newline is an empty command word
      {"nPING \n", "cmd=PING +args\n"},
      {"zPING\n", ""},  // incomplete: a newline does not end a 'z' command
  };
  for (const auto& c : cases) {
    clamd_harness_t fresh;
    auto errors = start_echo(fresh);
    fresh.send(c.first);
    if (c.second.empty()) {
      fresh.poll();
      ::shutdown(fresh.client, SHUT_WR);
    }
    EXPECT_EQ(c.second, fresh.receive()) << "for " << c.first;
    EXPECT_TRUE(fresh.closed);
  }
}

TEST_F(Framing, CommandWordMayArriveInPiecesUpToTenBytes) {
  EXPECT_EQ(std::string("cmd=VERSIONCOMMANDS\0", 20), converse({"zVERSIONCO", std::string("MMANDS\0", 7)}));
  // A complete word of any length in one read is fine.
  clamd_harness_t fresh;
  start_echo(fresh);
  fresh.send("nVERSIONCOMMANDS\n");
  EXPECT_EQ("cmd=VERSIONCOMMANDS\n", fresh.receive());
}

TEST_F(Framing, ElevenBytesWithoutDelimiterEndTheConnectionSilently) {
  EXPECT_EQ("", converse({"zVERSIONCOM"}));
  EXPECT_TRUE(h.closed);
  EXPECT_EQ(std::vector<std::string>{"Invalid IPC message size"}, *errors);
}

TEST_F(Framing, SessionKeepsReadingAndNumbersReplies) {
  // Everything in one write: what follows a terminator is the next command.
  const std::string z(1, '\0');
  EXPECT_EQ("1: cmd=A" + z + "2: cmd=B" + z, [&] {
    start_echo(h);
    h.send("zSESSION" + z + "zA" + z + "zB" + z);
    std::string got = h.receive(18);
    ::shutdown(h.client, SHUT_WR);
    h.receive();
    return got;
  }());
  EXPECT_TRUE(h.closed);
}

TEST_F(Framing, ArgumentsAreBoundedAndCutAtTheTerminator) {
  EXPECT_EQ("arg=/tmp/x y\n", converse({"nARGS /tmp/", "x y\n"}));
  {
    clamd_harness_t fresh;
    auto errors = start_echo(fresh);
    fresh.send("ARGS /a/b\r\n");  // unprefixed: trailing CR/LF trimmed
    EXPECT_EQ("arg=/a/b\n", fresh.receive());
  }
  {
    // A path longer than any the system allows, and no terminator: the
    // client is cut off instead of growing our memory.
    clamd_harness_t fresh;
    auto errors = start_echo(fresh);
    fresh.send("zARGS /");
    const std::string chunk(1024, 'p');
    for (int i = 0; i < 6 && !fresh.closed; ++i) {
      fresh.send_best_effort(chunk);
      fresh.poll();
    }
    EXPECT_EQ("", fresh.receive());
    EXPECT_TRUE(fresh.closed);
    EXPECT_EQ(std::vector<std::string>{"Invalid IPC message size"}, *errors);
  }
}

TEST_F(Framing, BlocksAreExactByteCounts) {
  EXPECT_EQ("block=ab\nc\n", converse({"nBLOCK\nab", "\ncd"}));
}

TEST_F(Framing, RepliesQueuedDuringAWriteLeaveTogetherInOrder) {
  EXPECT_EQ("a\nb\nc\n", converse({"nMANY\n"}));
  EXPECT_EQ(2, socket->writes);
}

TEST_F(Framing, SilentClientTimesOut) {
  clamd_harness_t fast(30);
  auto errors = start_echo(fast);
  EXPECT_EQ("COMMAND READ TIMED OUT\n", fast.receive());
  EXPECT_TRUE(fast.closed);
  EXPECT_EQ(std::vector<std::string>{"Network operation timed out"}, *errors);
}

TEST_F(Framing, PassedDescriptorsAreNeverLeaked) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  // Three descriptors overflow the room for one: truncated control data.
  // Two fit but only one is ever expected. Both are refused, and every
  // descriptor that arrived is closed.
  for (const auto& fds : {std::vector<int>{p[1], p[1], p[1]}, std::vector<int>{p[1], p[1]}}) {
    clamd_harness_t fresh;
    auto errors = start_echo(fresh);
    fresh.send_fds("zSESSION", fds);
    EXPECT_EQ("", fresh.receive());
    EXPECT_EQ(1u, errors->size());
  }
  ::close(p[1]);
  clamd_harness_t probe;
  EXPECT_TRUE(pipe_closed_everywhere(probe, p[0]));
  ::close(p[0]);
}

TEST_F(Framing, DescriptorWithoutFildesGetsTheProtocolError) {
  int p[2];
  ASSERT_EQ(0, pipe(p));
  const std::string z(1, '\0');
  start_echo(h);
  h.send("zSESSION" + z);
  h.poll();
  h.send_fds("zPING" + z, {p[1]});
  ::close(p[1]);
  EXPECT_EQ("1: cmd=PING" + z + "2: PROTOCOL ERROR: ancillary data sent without FILDES. ERROR\n", h.receive());
  EXPECT_TRUE(h.closed);
  EXPECT_TRUE(pipe_closed_everywhere(h, p[0]));
  ::close(p[0]);
}

TEST_F(Framing, CommandArrivingAsTheTimerExpiresIsNotTimedOut) {
  // The timer's expiry is already queued when the command is read: the
  // cancellation comes too late to abort it, and the client must still get
  // only the reply to its command.
  const std::string z(1, '\0');
  clamd_harness_t fast(1);
  auto errors = start_echo(fast);
  fast.poll();
  const auto started = std::chrono::steady_clock::now();
  fast.send("zPING" + z);
  // The loop is not run until the deadline has passed, so the command and
  // the expiry are both ready in the same turn, the command first.
  while (std::chrono::steady_clock::now() - started < std::chrono::milliseconds(5)) {
  }
  EXPECT_EQ("cmd=PING" + z, fast.receive());
  EXPECT_TRUE(fast.closed);
  EXPECT_TRUE(errors->empty());
}

TEST_F(Framing, ClientThatNeverReadsRepliesIsNotServedWithoutEnd) {
  // A session client that keeps sending commands and reads nothing: once
  // its replies back up, the daemon stops taking its commands, so the
  // client's sends block instead of our reply queue growing.
  const std::string z(1, '\0');
  start_echo(h);
  h.send("zSESSION" + z);
  const std::string command = "z" + std::string(90, 'X') + z;
  std::string batch;
  while (batch.size() < 16384) batch += command;
  const std::size_t limit = 16u << 20;
  std::size_t sent = 0;
  bool blocked = false;
  while (!blocked && sent < limit) {
    const ssize_t n = ::send(h.client, batch.data(), batch.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << std::strerror(errno);
    // Runs every handler that is ready: a daemon still reading makes room.
    h.poll();
    pollfd p{h.client, POLLOUT, 0};
    blocked = ::poll(&p, 1, 0) == 0;
  }
  EXPECT_TRUE(blocked) << "the daemon took " << sent << " bytes of commands without their replies being read";
  // Reading the replies lets the session go on.
  ::shutdown(h.client, SHUT_WR);
  const std::string replies = h.receive();
  EXPECT_TRUE(h.closed);
  EXPECT_EQ(0u, replies.find("1: cmd=" + std::string(90, 'X') + z));
}
