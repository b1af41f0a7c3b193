// What only the connection objects show, over a socketpair. The cutting
// itself is framing_test's; command replies are the black-box suite's.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <gtest/gtest.h>

#include "clamd_connection.h"
#include "clamd_deadlines.h"
#include "clamd_receive.h"
#include "config.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "run_until.h"
#include "text_message.h"
#include "warden_end.h"

using namespace std::string_literals;

namespace {

// Descriptors open in this process, which is the daemon's side too.
auto open_fds() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

// Sends bytes with the given descriptors in one control message.
void send_fds(int socket, const std::string& bytes, const std::vector<int>& fds = {}) {
  iovec iov{const_cast<char*>(bytes.data()), bytes.size()};
  std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
  msghdr msg{nullptr, 0, &iov, 1, fds.empty() ? nullptr : control.data(), fds.empty() ? 0 : control.size(), 0};
  if (cmsghdr* c = CMSG_FIRSTHDR(&msg)) {
    *c = cmsghdr{CMSG_LEN(sizeof(int) * fds.size()), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
  }
  ASSERT_EQ(static_cast<ssize_t>(bytes.size()), ::sendmsg(socket, &msg, MSG_NOSIGNAL));
}

// A daemon with one client connected over a socketpair; the test drives
// the event loop.
struct harness_t {
  explicit harness_t(std::uint32_t read_timeout_ms = 60000) {
    inventory.config().update(parse_text<vx::ClamdConfig>("read_timeout: " + std::to_string(read_timeout_ms)));
    const auto fds = socket_pair();
    // Non-blocking, as accepted sockets are.
    EXPECT_EQ(0, ::fcntl(fds[0], F_SETFL, O_NONBLOCK));
    daemon_end = fds[0];
    client = fds[1];
  }
  ~harness_t() { ::close(client); }
  // Adds what the client can read now to got; true once the daemon closed.
  bool take(std::string& got) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(client, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) got.append(buffer, std::size_t(n));
    return n == 0 || (n < 0 && errno != EAGAIN);
  }
  // Runs the loop until the daemon has closed the connection; what the
  // client got meanwhile.
  std::string replies() {
    std::string got;
    EXPECT_TRUE(run_until(io(), [&] { return take(got); })) << "still open; got: " << got;
    return got;
  }
  boost::asio::io_context& io() { return inventory.io_context(); }

  warden_end_t warden;
  cl_inventory_t inventory{warden.daemon_fd};
  int daemon_end = -1;
  int client = -1;
};

// Replies "cmd=<word>"; SESSION opens a session, QUIET replies nothing, MANY
// replies a, b and c,
// ARGS and BLOCK reply with their argument text and 4-byte block, HANGUP
// stops the connection as a failing service would.
class echo_connection_t : public cl_clamd_connection_t, public std::enable_shared_from_this<echo_connection_t> {
public:
  explicit echo_connection_t(harness_t& h)
      : cl_clamd_connection_t(h.inventory, cl_clamd_endpoint_t::create(h.inventory, "t")) {}
  void start(harness_t& h) { cl_clamd_connection_t::start(boost::asio::local::stream_protocol(), h.daemon_end); }
  std::string dispatched;
  // Writes started; wakeups still to fake as if readable with nothing there.
  int writes = 0;
  int spurious_wakeups = 0;

protected:
  cl_clamd_state_t on_command() override {
    dispatched += command() + " ";
    if (command() == "HANGUP") stop();
    auto echo = [this](boost::asio::const_buffer b) {
      write_reply(std::string(static_cast<const char*>(b.data()), b.size()));
      return finish_command();
    };
    if (command() == "ARGS") return cl_clamd_state_t::read_arguments(echo);
    // Like an INSTREAM's job, a block being read is work outstanding.
    busy_ = command() == "BLOCK";
    if (busy_)
      return cl_clamd_state_t::read_block(4, [this, echo](boost::asio::const_buffer b) {
        busy_ = false;
        return echo(b);
      });
    in_session_ = in_session_ || command() == "SESSION";
    if (command() == "QUIET") return finish_command();
    if (command() != "MANY") write_reply("cmd=" + command());
    for (char r : command() == "MANY" ? "abc"s : ""s) write_reply(std::string(1, r));
    return finish_command();
  }
  void write_out(boost::asio::const_buffer buffer) override {
    ++writes;
    cl_clamd_connection_t::write_out(buffer);
  }
  void wait_for_bytes() override {
    if (spurious_wakeups == 0) return cl_clamd_connection_t::wait_for_bytes();
    --spurious_wakeups;
    boost::asio::post(inventory_.io_context(), [self = shared_from_this()] { self->on_readable({}); });
  }
  void on_io_error(const boost::system::error_code&) override { stop(); }
  std::shared_ptr<cl_clamd_connection_t> self() override { return shared_from_this(); }
  void stop() override { close(); }
  bool has_jobs() override { return busy_; }
  bool busy_ = false;
};

}  // namespace

TEST(Receive, OneDescriptorIsKeptAndNoneLeaks) {
  const struct {
    std::size_t sent;
    bool holding;  // one passed earlier is held already
    vx::ErrorCode refusal;
  } cases[] = {{0, false, vx::EC_OK},
               {1, false, vx::EC_OK},
               {1, true, vx::EC_UNEXPECTED_MESSAGE},
               {2, false, vx::EC_UNEXPECTED_MESSAGE},
               {3, false, vx::EC_BAD_MESSAGE_SIZE}};  // beyond the room for control data
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  const auto s = socket_pair();
  const auto baseline = open_fds();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.sent << " sent, holding " << c.holding);
    const int earlier = c.holding ? ::dup(p[0]) : -1;
    int held = earlier;
    send_fds(s[1], "nFILDES\n", std::vector<int>(c.sent, p[1]));
    char buffer[64];
    const cl_clamd_received_t got = cl_clamd_receive(s[0], buffer, sizeof buffer);
    EXPECT_EQ("nFILDES\n", std::string(buffer, got.bytes));
    const auto refusal = cl_clamd_hold_fd(got, held);
    EXPECT_EQ(c.refusal ? vx::make_error_code(c.refusal) : boost::system::error_code(), refusal);
    // F_GETFD whole: a descriptor never set would read as -1, all bits on.
    if (c.sent == 1 && !c.holding) {
      EXPECT_EQ(FD_CLOEXEC, ::fcntl(held, F_GETFD));
    } else {
      EXPECT_EQ(earlier, held);
    }
    if (held >= 0) ::close(held);
    EXPECT_EQ(baseline, open_fds());
  }
  for (int fd : {p[0], p[1], s[0], s[1]}) ::close(fd);
}

TEST(Connection, ServesUnitsAndRefusesDescriptorsNoCommandAskedFor) {
  const std::string z(1, '\0'), refused = "PROTOCOL ERROR: ancillary data sent without FILDES. ERROR";
  const struct {
    std::vector<std::string> reads;
    std::size_t fds;  // passed with the last read
    std::string replies;
  } cases[] = {
      {{"nARGS /a", " b\n"}, 0, "/a b\n"},
      {{"zBLOCK" + z + "ab", "cdzX" + z}, 0, "abcd" + z},
      {{"zVERSIONCOMMANDS\r\r"}, 0, ""},  // no terminator in sight: cut off silently
      // Refused when the next command is awaited, its terminator unknown.
      {{"zSESSION" + z, "zPING" + z}, 1, "cmd=SESSION" + z + "1: cmd=PING" + z + "2: " + refused + "\n"},
      {{"zSESSION" + z, "zPI"}, 1, "cmd=SESSION" + z + "1: " + refused + z},
      // Refused mid-block: what the half-read command holds cannot keep it.
      {{"zBLOCK" + z + "ab"}, 1, refused + z},
  };
  int p[2];
  ASSERT_EQ(0, ::pipe(p));
  const auto baseline = open_fds();
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.reads));
    {
      harness_t h;
      std::make_shared<echo_connection_t>(h)->start(h);
      for (std::size_t i = 0; i < c.reads.size(); ++i) {
        send_fds(h.client, c.reads[i], std::vector<int>(i + 1 == c.reads.size() ? c.fds : 0, p[1]));
        run_ready(h.io());
      }
      EXPECT_EQ(c.replies, h.replies());
    }
    EXPECT_EQ(baseline, open_fds()) << "a passed descriptor was kept";
  }
  for (int fd : p) ::close(fd);
}

TEST(Connection, StoppedConnectionStartsNoFurtherCommand) {
  // The next command's read is already queued when the stop comes.
  harness_t h;
  auto connection = std::make_shared<echo_connection_t>(h);
  connection->start(h);
  send_fds(h.client, "zSESSION\0zHANGUP\0zPING\0"s);
  run_ready(h.io());
  EXPECT_EQ("SESSION HANGUP ", connection->dispatched);
}

TEST(Connection, RepliesQueuedDuringAWriteLeaveTogetherInOrder) {
  harness_t h;
  auto connection = std::make_shared<echo_connection_t>(h);
  connection->spurious_wakeups = 2;  // readable with nothing there: not the client's close
  connection->start(h);
  run_ready(h.io());
  send_fds(h.client, "nMANY\n");
  EXPECT_EQ("a\nb\nc\n", h.replies());
  EXPECT_EQ(2, connection->writes);
}

TEST(Connection, BytesAFullReadLeftBehindAreServedWithoutANewEvent) {
  // Sent before the first read, with the end, they raise no event of their own.
  harness_t h;
  std::make_shared<echo_connection_t>(h)->start(h);
  std::string sent = "zSESSION"s + '\0';
  std::size_t commands = 1;
  for (; sent.size() <= 2 * cl_clamd_connection_t::max_receive; ++commands) sent += "zQUIET"s + '\0';
  send_fds(h.client, sent + "zPING"s + '\0');
  ::shutdown(h.client, SHUT_WR);
  EXPECT_EQ("cmd=SESSION"s + '\0' + std::to_string(commands) + ": cmd=PING" + '\0', h.replies());
}

TEST(Connection, BackedUpRepliesPauseTheClientThenLeaveInOrder) {
  // Once a session's replies back up, the daemon stops taking commands, so the
  // client's sends block instead of our reply queue growing. Read at last, the
  // replies queued behind the write in flight come once each, numbered, in order.
  harness_t h;
  std::make_shared<echo_connection_t>(h)->start(h);
  send_fds(h.client, "zSESSION"s + '\0');
  const std::string word(90, 'X'), pair = "z" + word + '\0' + "n" + word + '\n';
  std::string batch, expected = "cmd=SESSION"s + '\0', got;
  while (batch.size() < 16384) batch += pair;
  std::size_t sent = 0;
  for (pollfd out{h.client, POLLOUT, 0}; ::poll(&out, 1, 0) == 1; run_ready(h.io())) {
    ASSERT_LT(sent, 16u << 20) << "the daemon takes commands whose replies are not read";
    const std::size_t at = sent % batch.size();
    sent += std::size_t(std::max<ssize_t>(0, ::send(h.client, batch.data() + at, batch.size() - at, MSG_DONTWAIT)));
  }
  for (std::size_t i = 1; i <= sent / (pair.size() / 2); ++i)
    expected += std::to_string(i) + ": cmd=" + word + (i % 2 ? '\0' : '\n');
  EXPECT_TRUE(run_until(h.io(), [&] { return h.take(got) || got.size() >= expected.size(); }));
  EXPECT_TRUE(expected == got) << "sent " << sent << ", got " << got.size() << " of " << expected.size() << " bytes";
}

TEST(Connection, CommandArrivingAsTheTimerExpiresIsNotTimedOut) {
  // The deadline passes while the loop does not run, so the command and the
  // expiry are found ready in the same turn, the command first: cancelling
  // the timer then is too late to abort its expiry.
  const std::chrono::milliseconds timeout(100);
  harness_t h(timeout.count());
  std::make_shared<echo_connection_t>(h)->start(h);
  run_ready(h.io());
  send_fds(h.client, "zPING"s + '\0');
  boost::asio::io_context elsewhere;
  boost::asio::steady_timer(elsewhere, timeout).wait();
  EXPECT_EQ("cmd=PING"s + '\0', h.replies());
}

TEST(Deadlines, PassInTheOrderSetSparingThoseTakenAway) {
  // Digits set an entry's deadline (again: it moves behind the others), '-'
  // takes the next one's away, '!' makes it set itself again once when it
  // passes, as a session whose commands are still running does.
  const struct {
    const char* ops;
    const char* passed;
  } cases[] = {{"0123", "0123"}, {"01231", "0231"}, {"012-1", "02"}, {"0-0", ""}, {"!012", "0120"}};
  struct entry_t : cl_clamd_deadlines_t::entry_t {
    char name;
    bool again;
  };
  static std::string passed;
  static cl_clamd_deadlines_t* deadlines;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ops);
    boost::asio::io_context io;
    auto queue = std::make_shared<cl_clamd_deadlines_t>(io, 5, [](cl_clamd_deadlines_t::entry_t& e) {
      auto& entry = static_cast<entry_t&>(e);
      passed += entry.name;
      if (std::exchange(entry.again, false)) deadlines->set(entry);
    });
    deadlines = queue.get();
    passed.clear();
    entry_t entries[4] = {{{}, '0', false}, {{}, '1', false}, {{}, '2', false}, {{}, '3', false}};
    for (const char* op = c.ops; *op; ++op) {
      if (*op == '-') {
        queue->remove(entries[*++op - '0']);
      } else if (*op == '!') {
        entries[op[1] - '0'].again = true;
      } else {
        queue->set(entries[*op - '0']);
      }
    }
    // Until the loop runs out of work: nothing left to bound keeps it busy.
    EXPECT_TRUE(run_until(io, [&] { return io.stopped(); }));
    EXPECT_EQ(c.passed, passed);
  }
}
