#include <unistd.h>

#include <atomic>
#include <mutex>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "config.h"
#include "frames.h"
#include "inventory.h"
#include "run_until.h"
#include "scripted_service.h"
#include "sieve_connection.h"
#include "temp_dir.h"
#include "thrown.h"
#include "warden_end.h"
#include "text_message.h"

namespace {

using lines_t = std::vector<std::string>;

vx::ClamdConfig config(std::uint32_t archive_max_level) {
  // The endpoint's values win; adware is not reported there.
  return parse_text<vx::ClamdConfig>(
      "scan_timeout: 20000 heuristic_analysis: false packer_max_level: 4 mail_max_level: 5 container_max_level: 6 "
      "max_compression_ratio: 300 archive_max_level: " + std::to_string(archive_max_level) +
      " endpoint { item { tag: 'ep' clamd_socket { local: '/run/clamd.sock' } mail_max_level: 2 "
      "heuristic_analysis: true detect_suspicious: true detect_dialers: true } }");
}

// Holds the producer's thread at its error line while the test holds the
// gate, so that the test alone delivers for the jobs queued behind it.
struct gated_log_t : captured_log_t {
  void write(level_t level, const std::string& message) override {
    captured_log_t::write(level, message);
    if (message.find("Error producing paths") == std::string::npos) return;
    held = true;
    const std::lock_guard<std::mutex> wait(gate);
  }
  std::atomic<bool> held{false};
  std::mutex gate;
};

class SieveConnection : public ::testing::Test {
protected:
  void SetUp() override {
    cflog::install(log);
    inventory.config().update(config(1));
  }
  void TearDown() override {
    if (connection) connection->stop();
  }

  // A new started connection whose Warden request is read, not answered.
  // Warden answers requests in order: each must be answered before the next.
  void create() {
    if (connection) connection->stop();
    reports.clear();
    failures.clear();
    idle = 0;
    connection = cl_sieve_connection_t::create(inventory, "ep");
    connection->failure_signal.connect([this](const boost::system::error_code& ec) { failures.push_back(ec); });
    connection->idle_signal.connect([this] { ++idle; });
    connection->start();
    EXPECT_EQ(vx::Clamd2WardenMessage::GET_SIEVE_REQUEST, warden.receive(io()).tag());
  }
  void answer_warden(const std::string& rest) {
    warden.send(parse_text<vx::Warden2ClamdMessage>("tag: GET_SIEVE_RESPONSE " + rest));
  }
  // Hands out the service's socket, accepts, reads the proxy opening and
  // returns the options that follow it.
  sv::ProxyOptions open() {
    answer_warden("socket_path: '" + sieve.path + "'");
    sieve.accept(io());
    EXPECT_EQ("tag: OPEN_PROXY origin: APP_CLAMD pid: " + std::to_string(getpid()), receive().ShortDebugString());
    return receive().proxy_options();
  }
  sv::ClientMessage receive() { return sieve.receive<sv::ClientMessage>(io()); }
  void send(const std::string& text) { sieve.send(parse_text<sv::ServerMessage>(text)); }
  // Reads n scan requests into serials, by path below the test directory.
  const std::map<std::string, std::uint32_t>& requests(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const auto m = receive();
      serials[m.path().substr(dir.path().size())] = m.serial();
    }
    return serials;
  }
  // Answers the request for name: the report of name with the fields in
  // report, and the fields in response besides.
  void answer(const std::string& name, const std::string& report = "", const std::string& response = "") {
    send("tag: PROXY_SCAN_RESPONSE serial: " + std::to_string(serials.at(name)) + " " + response +
         " scan_report { object: '" + dir.path() + name + "' " + report + " }");
  }
  // A stray answer: once it is logged, every answer sent before it was handled.
  void sync() {
    const std::string serial = std::to_string(900 + ++syncs);
    send("tag: PROXY_SCAN_RESPONSE serial: " + serial);
    ASSERT_TRUE(run_until(io(), [&] { return log->contains("unknown serial " + serial); }));
  }
  // Each report as "job object", then " !error" and " FOUND name" of it and its items.
  scan_handler_t handler() {
    return [this](std::uint32_t job, const vx::ScanReport& report) {
      std::string text = std::to_string(job) + " " + report.object().substr(dir.path().size());
      if (report.has_error()) text += " !" + vx::ScanError_Name(report.error());
      for (const auto& v : report.virus()) text += " FOUND " + v.name();
      for (const auto& item : report.item())
        for (const auto& v : item.virus()) text += " FOUND " + v.name();
      reports.push_back(text);
    };
  }
  boost::asio::io_context& io() { return inventory.io_context(); }

  std::shared_ptr<captured_log_t> log = std::make_shared<captured_log_t>();
  temp_dir_t dir;
  warden_end_t warden;
  cl_inventory_t inventory{warden.daemon_fd};
  scripted_service_t sieve{dir.path() + "/sieve.sock"};
  std::shared_ptr<cl_sieve_connection_t> connection;
  std::map<std::string, std::uint32_t> serials;
  lines_t reports;
  std::vector<boost::system::error_code> failures;
  int idle = 0;
  int syncs = 0;
};

}  // namespace

TEST(ScanError, MapsSystemAndSuiteErrors) {
  namespace errc = boost::system::errc;
  const std::pair<boost::system::error_code, vx::ScanError> cases[] = {
      {errc::make_error_code(errc::filename_too_long), vx::SE_NAME_TOO_LONG},
      {{ENOTDIR, boost::system::system_category()}, vx::SE_FILE_NOT_FOUND},
      {errc::make_error_code(errc::operation_not_permitted), vx::SE_NO_ACCESS},
      {vx::make_error_code(vx::EC_NO_SUCH_ENTRY), vx::SE_FILE_NOT_FOUND},
      {vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE), vx::SE_FILE_NOT_REGULAR},
      // Values that one category shares with the other mean different things.
      {vx::make_error_code(vx::EC_ALREADY_IN_PROGRESS), vx::SE_UNEXPECTED_ERROR},
      {{ENFILE, boost::system::system_category()}, vx::SE_UNEXPECTED_ERROR},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, to_scan_error(c.first)) << c.first.message();
}

TEST_F(SieveConnection, ReportsOfATreeInBothModes) {
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) dir.write(std::string("t/") + name, name);
  const struct {
    bool contscan;
    lines_t reports;
  } cases[] = {
      // Everything after the first threat is dropped, errors included.
      {false, {"1 /t/b !SE_NO_ACCESS", "1 /t/c FOUND Eicar"}},
      // No clean report once a threat was reported.
      {true, {"1 /t/b !SE_NO_ACCESS", "1 /t/c FOUND Eicar", "1 /t !SE_FILE_NOT_FOUND", "1 /t/f FOUND Member"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contscan ? "contscan" : "scan");
    create();
    open();
    const auto start = c.contscan ? &cl_sieve_connection_t::contscan : &cl_sieve_connection_t::scan;
    ((*connection).*start)(1, dir.path() + "/t", handler());
    requests(6);
    // Answered in name order, whatever order the walk sent them in.
    answer("/t/a");
    answer("/t/a");  // a second answer must not count
    answer("/t/b", "error: SE_NO_ACCESS");
    answer("/t/c", "virus { type: SE_KNOWN_VIRUS name: 'Eicar' }", "threat_id: 41");
    answer("/t/d", "", "error { code: EC_NO_SUCH_ENTRY }");
    answer("/t/e", "virus { type: SE_ADWARE name: 'Ads' }");
    sync();
    EXPECT_EQ(std::make_pair(std::size_t{1}, 0), std::make_pair(connection->job_count(), idle));
    answer("/t/f", "item { object: 'm' virus { type: SE_VIRUS_MODIFICATION name: 'Member' } }", "threat_id: 42");

    ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
    EXPECT_EQ(c.reports, reports);
    // One ignore per registered threat, with a counter of its own.
    for (int id : {41, 42})
      EXPECT_EQ("tag: THREAT_OP_REQUEST serial: " + std::to_string(id - 41) + " threat_id: " + std::to_string(id) +
                    " op: THREAT_OP_IGNORE origin: APP_CLAMD pid: " + std::to_string(getpid()),
                receive().ShortDebugString());
  }
}

TEST_F(SieveConnection, JobsWaitForTheSocketAndOptionsFollowTheConfiguration) {
  const std::string d = dir.path();
  for (const char* name : {"clean/x", "clean/y", "file"}) dir.write(name, name);
  ASSERT_TRUE(boost::filesystem::create_directory(d + "/empty"));
  create();
  connection->scan(5, d + "/clean", handler());
  connection->scan(2, d + "/file", handler());
  connection->contscan(3, d + "/empty", handler());
  connection->scan(4, d + "/missing", handler());
  inventory.config().update(config(3));  // not open yet: nothing is sent
  // Every field is present, defaults included.
  EXPECT_EQ("scan_timeout_ms: 20000 heuristic_analysis: true packer_max_level: 4 archive_max_level: 3 "
            "mail_max_level: 2 container_max_level: 6 max_compression_ratio: 300",
            open().ShortDebugString());
  for (const auto& r : requests(3)) answer(r.first);
  ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
  std::sort(reports.begin(), reports.end());
  EXPECT_EQ((lines_t{"2 /file", "3 /empty", "4 /missing !SE_FILE_NOT_FOUND", "5 /clean"}), reports);

  // New options go out as soon as they change, a zero included.
  inventory.config().update(config(0));
  const auto options = receive().proxy_options();
  EXPECT_TRUE(options.has_archive_max_level() && options.archive_max_level() == 0);

  // Nothing reaches a handler after stop.
  connection->scan(7, d + "/missing", handler());
  connection->stop();
  EXPECT_EQ("closed", thrown([&] { receive(); }));
  run_ready(io());
  EXPECT_EQ(std::make_pair(std::size_t{4}, std::size_t{0}), std::make_pair(reports.size(), connection->job_count()));
}

TEST_F(SieveConnection, FailuresAreReportedOnceAndNeverThrown) {
  const struct {
    std::function<void()> act;
    boost::system::error_code code;
    std::string log_line;
  } cases[] = {
      // A socket nobody listens on is the black-box path-scan tests' (Sieve gone).
      {[&] { answer_warden("error { code: EC_NOT_INSTALLED }"); }, vx::make_error_code(vx::EC_NOT_INSTALLED),
       "Error: Sieve is not available: Component is not installed"},
      {[&] { open(); send("tag: PROXY_ALARM error { code: EC_NO_CORE_ENGINE }"); },
       vx::make_error_code(vx::EC_NO_CORE_ENGINE), ""},
      // A serial without a tag.
      {[&] { open(); sieve.send_raw(frame_header(2) + "\x10\x05"); }, vx::make_error_code(vx::EC_BAD_MESSAGE_FORMAT),
       ""},
      {[&] { open(); ::shutdown(sieve.fd(), SHUT_RDWR); }, boost::asio::error::eof, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code.message());
    create();
    c.act();
    ASSERT_TRUE(run_until(io(), [&] { return !failures.empty(); }));
    run_ready(io());
    EXPECT_EQ(std::vector<boost::system::error_code>{c.code}, failures);
    EXPECT_TRUE(log->contains(c.log_line)) << c.log_line;
  }

  // Warden's answer to a connection stopped before it came is dropped.
  cflog::install(log = std::make_shared<captured_log_t>());
  create();
  connection->stop();
  answer_warden("error { code: EC_NOT_INSTALLED }");
  ASSERT_TRUE(run_until(io(), [&] { return log->contains("Warden --> GET_SIEVE_RESPONSE"); }));
  EXPECT_FALSE(log->contains("is not available"));
  EXPECT_TRUE(failures.empty());
}

// The producer's last word may come after every answer of the job: the
// job must end there too.
TEST_F(SieveConnection, JobsEndWhenTheProducerFinishesLast) {
  auto gated = std::make_shared<gated_log_t>();
  std::unique_lock<std::mutex> holding(gated->gate);
  cflog::install(log = gated);
  const std::string tree = dir.path() + "/t";
  for (const char* name : {"t/x", "file"}) dir.write(name, name);
  create();
  open();
  connection->scan(1, dir.path() + "/missing", handler());
  ASSERT_TRUE(run_until(io(), [&] { return gated->held.load(); }));
  connection->contscan(2, tree, handler());
  connection->scan(3, tree, handler());
  cl_path_producer_t::delegate_t& producer = *connection;

  producer.on_paths(2, {tree + "/x"}, false);
  requests(1);
  answer("/t/x");
  sync();
  EXPECT_TRUE(reports.empty());
  producer.on_paths(2, {}, true);
  EXPECT_EQ(lines_t{"2 /t"}, reports);

  // A walk that fails after sending files reports the failure, never clean.
  producer.on_paths(3, {tree + "/x"}, false);
  requests(1);
  producer.on_task_error(3, tree, vx::make_error_code(vx::EC_NO_MEMORY), true);
  EXPECT_EQ((lines_t{"2 /t", "3 /t !SE_UNEXPECTED_ERROR"}), reports);
  EXPECT_EQ(2u, connection->job_count());
  answer("/t/x");
  sync();
  EXPECT_EQ(1u, connection->job_count());

  holding.unlock();
  ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
  // The real deliveries for jobs 2 and 3 come later and send nothing.
  connection->scan(4, dir.path() + "/file", handler());
  EXPECT_EQ(2u, requests(1).at("/file"));
  EXPECT_EQ((lines_t{"2 /t", "3 /t !SE_UNEXPECTED_ERROR", "1 /missing !SE_FILE_NOT_FOUND"}), reports);
}
