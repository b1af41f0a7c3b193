#include <unistd.h>

#include <gtest/gtest.h>

#include "captured_log.h"
#include "config.h"
#include "courier_connection.h"
#include "frames.h"
#include "installation_monitor.h"
#include "inventory.h"
#include "run_until.h"
#include "scripted_service.h"
#include "temp_dir.h"
#include "text_message.h"
#include "thrown.h"
#include "warden_end.h"

namespace {

using local_t = boost::asio::local::stream_protocol;
using lines_t = std::vector<std::string>;
using codes_t = std::vector<boost::system::error_code>;

// The connection under test, with Warden and Courier played by the test;
// it reconnects a millisecond after a failure instead of a second.
class CourierConnection : public ::testing::Test {
protected:
  void SetUp() override { restart(); }
  void restart() {
    cflog::install(log = std::make_shared<captured_log_t>());
    failures.clear();
    courier = std::make_unique<cl_courier_connection_t>(inventory, std::chrono::milliseconds(1));
    courier->failure_signal.connect([this](const boost::system::error_code& ec) { failures.push_back(ec); });
  }
  // Reads the request for the socket and answers it.
  void answer_warden(const std::string& rest) {
    EXPECT_EQ(vx::Clamd2WardenMessage::GET_COURIER_REQUEST, warden.receive(io()).tag());
    warden.send(parse_text<vx::Warden2ClamdMessage>("tag: GET_COURIER_RESPONSE " + rest));
  }
  // Hands out the service's socket, accepts and returns the first message.
  std::string accept() {
    answer_warden("socket_path: '" + service.path + "'");
    service.accept(io());
    return receive();
  }
  std::string receive() { return service.receive<cr::ClientMessage>(io()).ShortDebugString(); }
  void send(const std::string& text) { service.send(parse_text<cr::ServerMessage>(text)); }
  // Sends a change of the window and waits until it is handled, and with
  // it everything sent before.
  std::uint32_t adjust(int change) {
    const auto window = courier->window();
    send("tag: ADJUST_WINDOW window_change: " + std::to_string(change));
    EXPECT_TRUE(run_until(io(), [&] { return courier->window() != window; }));
    return 0;
  }
  scan_handler_t handler() {
    return [this](std::uint32_t, const vx::ScanReport&) { ++reports; };
  }
  // What opening a job threw, as a client would read it.
  std::string init() { return thrown([this] { courier->init_job(handler()); }); }
  boost::asio::io_context& io() { return inventory.io_context(); }

  const std::string hello = "tag: HELLO origin: APP_CLAMD origin_pid: " + std::to_string(getpid()) +
                            " flow_control: true";
  std::shared_ptr<captured_log_t> log;
  temp_dir_t dir;
  warden_end_t warden;
  cl_inventory_t inventory{warden.daemon_fd};
  std::unique_ptr<cl_courier_connection_t> courier;
  scripted_service_t service{dir.path() + "/courier.sock"};
  int reports = 0;
  codes_t failures;
};

}  // namespace

TEST_F(CourierConnection, WindowArithmetic) {
  courier->init_job(handler());
  accept();
  EXPECT_EQ("tag: INIT job_id: 0", receive());
  int signals = 0;
  courier->window_signal.connect([&] { ++signals; });
  const std::string data(4096, 'x');
  const struct {
    std::int32_t window;
    std::function<std::uint32_t()> act;
    std::uint32_t granted;
    std::int32_t after;
    int signals;
  } cases[] = {
      {60, [&] { return courier->acquire(100); }, 60, 0, 0},
      {-5, [&] { return courier->acquire(100); }, 0, -5, 0},
      {-5, [&] { return courier->release(10), 0u; }, 0, 5, 1},
      {5, [&] { return courier->release(10), 0u; }, 0, 15, 0},
      {15, [&] { return adjust(-20); }, 0, -5, 0},
      {1000, [&] { return courier->send_data(0, data.data(), data.size()), 0u; }, 0, -3096, 0},
      // Grants from the service saturate instead of wrapping around.
      {15, [&] { return adjust(INT32_MAX); }, 0, INT32_MAX, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.window);
    courier->release(c.window - courier->window());
    signals = 0;
    EXPECT_EQ(c.granted, c.act());
    EXPECT_EQ(std::make_pair(c.after, c.signals), std::make_pair(courier->window(), signals));
  }
  EXPECT_EQ("tag: DATA_CHUNK job_id: 0 data: \"" + data + "\"", receive());
}

TEST_F(CourierConnection, JobsHeldWhileConnectingGoOutInOrderAndEndWithReset) {
  // Which limits are in force is the sieve connection's test; here they need only go out as given.
  const auto options = parse_text<cr::ScanOptions>("archive_max_level: 1");
  EXPECT_EQ(0u, courier->init_job(handler()));
  EXPECT_EQ(1u, courier->init_job(handler()));
  courier->send_data(1, "ab", 2);
  courier->send_data(1, "c", 1);
  courier->send_data(0, "d", 1);
  courier->scan_request(1, options);
  courier->scan_request(0, options);
  EXPECT_EQ(hello, accept());
  lines_t wire;
  for (int i = 0; i < 6; ++i) wire.push_back(receive());
  EXPECT_EQ((lines_t{"tag: INIT job_id: 0", "tag: INIT job_id: 1", "tag: DATA_CHUNK job_id: 0 data: \"d\"",
                     "tag: DATA_CHUNK job_id: 1 data: \"abc\"",
                     "tag: SCAN_REQUEST job_id: 0 scan_options { archive_max_level: 1 }",
                     "tag: SCAN_REQUEST job_id: 1 scan_options { archive_max_level: 1 }"}),
            wire);
  EXPECT_EQ(-4, courier->window());

  // An answer reaches its job once and is followed by a RESET; an answer
  // for no job, and a message only clients send, reach nothing.
  send("tag: SCAN_RESPONSE job_id: 1 scan_report { object: 's' }");
  send("tag: SCAN_RESPONSE job_id: 77 scan_report { object: 's' }");
  send("tag: DATA_CHUNK job_id: 0");
  adjust(1);
  courier->init_job(handler());
  EXPECT_EQ((lines_t{"tag: RESET job_id: 1", "tag: INIT job_id: 2"}), (lines_t{receive(), receive()}));
  EXPECT_EQ(1, reports);
}

TEST_F(CourierConnection, FailuresDropEveryJobUntilTheServiceIsBack) {
  const auto installed = [&](vx::Application app) {
    google::protobuf::RepeatedPtrField<vx::AppInfo> list;
    list.Add()->MutableExtension(vx::root_info)->add_installed_app()->set_app(app);
    inventory.installation_monitor().on_appinfo(list);
  };
  // Refusing jobs before any connection when the list says not installed is the black-box suite's.
  const std::string not_installed = "Info: Waiting for Courier to be installed";
  using connection_t = cl_courier_connection_t;
  const auto code = [](vx::ErrorCode c) { return vx::make_error_code(c); };
  const std::string none = "socket_path: '" + dir.path() + "/none.sock'";
  const struct {
    std::function<void()> act;
    boost::system::error_code failure;
    connection_t::courier_state_t state;
    std::string line;  // logged once
  } cases[] = {
      // A tag the schema does not know: the link fails, not the daemon.
      {[&] { accept(), service.send_raw(frame_header(2) + "\x08\x09"); },
       code(vx::EC_BAD_MESSAGE_FORMAT), connection_t::timer_wait, "ipc error occurred: Invalid IPC message format"},
      {[&] { answer_warden("error { code: EC_UNEXPECTED_ERROR }"); }, code(vx::EC_UNEXPECTED_ERROR),
       connection_t::timer_wait, "Error: Courier socket is not available: Unexpected error"},
      {[&] { for (int i = 0; i < 10; ++i) answer_warden(none); }, {ENOENT, boost::system::system_category()},
       connection_t::wait_config, "Error: Courier reconnection attempts limit reached, waiting for config"},
      {[&] { answer_warden("error { code: EC_NOT_INSTALLED }"); }, code(vx::EC_NOT_INSTALLED),
       connection_t::wait_install, not_installed},
      // Uninstalled while the reconnection was pending; then the same with
      // jobs still held for the reconnection: they fail too.
      {[&] { installed(vx::APP_SIEVE), answer_warden("error { code: EC_UNEXPECTED_ERROR }"); },
       code(vx::EC_UNEXPECTED_ERROR), connection_t::wait_install, not_installed},
      {[&] { installed(vx::APP_SIEVE), answer_warden(none); }, code(vx::EC_NOT_INSTALLED), connection_t::wait_install,
       not_installed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    restart();
    for (int i = 0; i < 2; ++i) courier->init_job(handler());
    courier->release(500);
    c.act();
    ASSERT_TRUE(run_until(io(), [&] { return courier->state() == c.state && !failures.empty(); }));
    EXPECT_EQ(codes_t{c.failure}, failures);
    EXPECT_EQ(std::make_pair(0, std::size_t{0}), std::make_pair(courier->window(), courier->job_count()));
    // Refused while the connection waits for a change, held while it waits for its timer.
    if (c.state != connection_t::timer_wait) {
      EXPECT_EQ("Courier is not available [vx.Error:123]", init());
      c.state == connection_t::wait_config ? courier->on_config_changed() : installed(vx::APP_COURIER);
    }
    const auto lines = log->lines();
    const auto has_line = [&](const std::string& l) { return l.find(c.line) != l.npos; };
    EXPECT_EQ(1, std::count_if(lines.begin(), lines.end(), has_line));  // however often refused
    // Back: the jobs dropped are not sent again.
    EXPECT_EQ("nothing thrown", init());
    EXPECT_EQ(hello, accept());
    EXPECT_EQ("tag: INIT job_id: 2", receive());
    EXPECT_EQ(0, reports);
  }
}

TEST(CourierLink, DetachedLinkDeliversNothing) {
  struct recorder_t : cl_courier_link_t::delegate_t {
    void on_message(google::protobuf::io::ZeroCopyInputStream&) override { ++messages; }
    void on_error(const boost::system::error_code&) override { ++errors; }
    int messages = 0;
    int errors = 0;
  } recorder;
  boost::asio::io_context io;
  const auto fds = socket_pair();
  auto socket = std::make_shared<local_t::socket>(io, local_t(), fds[0]);
  frame_peer_t other(fds[1]);
  auto link = cl_courier_link_t::create(&recorder, socket);
  const auto adjust = parse_text<cr::ServerMessage>("tag: ADJUST_WINDOW window_change: 1");
  other.send(adjust);
  ASSERT_TRUE(run_until(io, [&] { return recorder.messages == 1; }));
  // A frame already waiting comes too late, and the socket goes with the
  // link although the other end keeps it open.
  other.send(adjust);
  link->detach();
  const std::weak_ptr<cl_courier_link_t> weak = link;
  link.reset();
  ASSERT_TRUE(run_until(io, [&] { return weak.expired(); }));
  EXPECT_EQ(std::make_pair(1, 0), std::make_pair(recorder.messages, recorder.errors));
}
