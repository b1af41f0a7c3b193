#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include <boost/filesystem/operations.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "config.h"
#include "frames.h"
#include "inventory.h"
#include "run_until.h"
#include "sieve_connection.h"
#include "temp_dir.h"
#include "warden_end.h"

namespace {

// The service's end: listens on a Unix socket and speaks frames.
struct sieve_end_t {
  explicit sieve_end_t(const std::string& socket_path) : path(socket_path) {
    listen_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (::bind(listen_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listen_fd, 4) != 0)
      throw std::runtime_error("sieve_end_t: cannot listen");
  }
  ~sieve_end_t() {
    if (fd >= 0) ::close(fd);
    ::close(listen_fd);
  }
  void accept(boost::asio::io_context& io) {
    if (fd >= 0) ::close(fd);
    if (!run_until(io, [&] { return (fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }))
      throw std::runtime_error("sieve_end_t: nobody connected");
    reader = std::make_unique<frame_reader_t>(fd);
  }
  sv::ClientMessage receive(boost::asio::io_context& io) {
    std::string body;
    sv::ClientMessage message;
    if (!run_until(io, [&] { return reader->poll(body); }) || !message.ParseFromString(body))
      throw std::runtime_error("sieve_end_t: no message");
    return message;
  }
  void send_raw(const std::string& frame) {
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size()))
      throw std::runtime_error("sieve_end_t: send failed");
  }
  void send(const sv::ServerMessage& message) { send_raw(encode_frame(message)); }
  void answer(std::uint32_t serial, const vx::ScanReport& report, std::int64_t threat_id = 0) {
    sv::ServerMessage m;
    m.set_tag(sv::ServerMessage::PROXY_SCAN_RESPONSE);
    m.set_serial(serial);
    *m.mutable_scan_report() = report;
    if (threat_id) m.set_threat_id(threat_id);
    send(m);
  }

  std::string path;
  int listen_fd = -1;
  int fd = -1;
  std::unique_ptr<frame_reader_t> reader;
};

vx::ScanReport report_of(const std::string& object, vx::VirusType type = vx::VirusType(), const char* virus = nullptr) {
  vx::ScanReport r;
  r.set_object(object);
  if (virus) {
    r.add_virus()->set_type(type);
    r.mutable_virus(0)->set_name(virus);
  }
  return r;
}

vx::ClamdConfig config_with_archive_level(std::uint32_t archive_max_level) {
  vx::ClamdConfig c;
  c.set_scan_timeout(20000);
  c.set_heuristic_analysis(false);
  c.set_packer_max_level(4);
  c.set_archive_max_level(archive_max_level);
  c.set_mail_max_level(5);
  c.set_container_max_level(6);
  c.set_max_compression_ratio(300);
  auto* endpoint = c.mutable_endpoint()->add_item();
  endpoint->set_tag("ep");
  endpoint->mutable_clamd_socket()->set_local("/run/clamd.sock");
  endpoint->set_mail_max_level(2);
  endpoint->set_heuristic_analysis(true);
  // Adware is not reported on this endpoint.
  endpoint->set_detect_suspicious(true);
  endpoint->set_detect_dialers(true);
  return c;
}

// A log that holds the thread writing a line with marker until released.
class gated_log_t : public captured_log_t {
public:
  explicit gated_log_t(std::string marker) : marker_(std::move(marker)) {}
  void write(level_t level, const std::string& message) override {
    captured_log_t::write(level, message);
    if (message.find(marker_) == std::string::npos) return;
    std::unique_lock<std::mutex> lock(mutex_);
    held_ = true;
    released_.wait(lock, [this] { return open_; });
  }
  bool holding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    released_.notify_all();
  }

private:
  std::string marker_;
  std::mutex mutex_;
  std::condition_variable released_;
  bool held_ = false;
  bool open_ = false;
};

class SieveConnection : public ::testing::Test {
protected:
  void SetUp() override {
    cflog::install(log);
    inventory.config().update(config_with_archive_level(1));
  }
  void TearDown() override {
    if (connection) connection->stop();
  }

  // A started connection whose Warden request is read, not answered.
  void create() {
    if (connection) connection->stop();
    connection = cl_sieve_connection_t::create(inventory, "ep");
    connection->failure_signal.connect([this](const boost::system::error_code& ec) { failures.push_back(ec); });
    connection->idle_signal.connect([this] { ++idle; });
    connection->start();
    EXPECT_EQ(vx::Clamd2WardenMessage::GET_SIEVE_REQUEST, warden.receive(io()).tag());
  }
  void answer_warden(const std::string& socket_path, vx::ErrorCode error = vx::EC_OK) {
    vx::Warden2ClamdMessage m;
    m.set_tag(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE);
    if (error != vx::EC_OK) m.mutable_error()->set_code(error);
    m.set_socket_path(socket_path);
    warden.send(m);
  }
  // Hands out the service's socket and reads the proxy opening.
  sv::ProxyOptions open() {
    answer_warden(sieve.path);
    sieve.accept(io());
    EXPECT_EQ("tag: OPEN_PROXY origin: APP_CLAMD pid: " + std::to_string(getpid()),
              sieve.receive(io()).ShortDebugString());
    const auto options = sieve.receive(io());
    EXPECT_EQ(sv::ClientMessage::PROXY_OPTIONS_NOTIFICATION, options.tag());
    return options.proxy_options();
  }
  // The next n scan requests, by path relative to the test directory.
  std::map<std::string, std::uint32_t> requests(std::size_t n) {
    std::map<std::string, std::uint32_t> serials;
    for (std::size_t i = 0; i < n; ++i) {
      const auto m = sieve.receive(io());
      EXPECT_EQ(sv::ClientMessage::PROXY_SCAN_REQUEST, m.tag());
      serials[m.path().substr(dir.path().size())] = m.serial();
    }
    return serials;
  }
  scan_handler_t handler() {
    return [this](std::uint32_t job, const vx::ScanReport& report) { reports.push_back(describe(job, report)); };
  }
  // "job object", then " !error" and " FOUND name" for the whole tree.
  std::string describe(std::uint32_t job, const vx::ScanReport& r) const {
    std::string text = std::to_string(job) + " " + r.object().substr(dir.path().size());
    std::function<void(const vx::ScanReport&)> walk = [&](const vx::ScanReport& node) {
      if (node.has_error()) text += " !" + vx::ScanError_Name(node.error());
      for (const auto& v : node.virus()) text += " FOUND " + v.name();
      for (const auto& item : node.item()) walk(item);
    };
    walk(r);
    return text;
  }
  boost::asio::io_context& io() { return inventory.io_context(); }
  std::size_t count_lines(const std::string& text) const {
    const auto lines = log->lines();
    return static_cast<std::size_t>(std::count_if(
        lines.begin(), lines.end(), [&](const std::string& line) { return line.find(text) != std::string::npos; }));
  }

  std::shared_ptr<captured_log_t> log = std::make_shared<captured_log_t>();
  temp_dir_t dir;
  warden_end_t warden;
  cl_inventory_t inventory{warden.daemon_fd};
  sieve_end_t sieve{dir.path() + "/sieve.sock"};
  std::shared_ptr<cl_sieve_connection_t> connection;
  std::vector<std::string> reports;
  std::vector<boost::system::error_code> failures;
  int idle = 0;
};

}  // namespace

TEST(ScanError, MapsSystemAndSuiteErrors) {
  using boost::system::errc::make_error_code;
  namespace errc = boost::system::errc;
  EXPECT_EQ(vx::SE_NAME_TOO_LONG, to_scan_error(make_error_code(errc::filename_too_long)));
  EXPECT_EQ(vx::SE_FILE_NOT_FOUND, to_scan_error(boost::system::error_code(ENOTDIR, boost::system::system_category())));
  EXPECT_EQ(vx::SE_NO_ACCESS, to_scan_error(make_error_code(errc::operation_not_permitted)));
  EXPECT_EQ(vx::SE_FILE_NOT_FOUND, to_scan_error(vx::make_error_code(vx::EC_NO_SUCH_ENTRY)));
  EXPECT_EQ(vx::SE_FILE_NOT_REGULAR, to_scan_error(vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE)));
  // Suite values that share a number with an errno are not that errno.
  EXPECT_EQ(vx::SE_UNEXPECTED_ERROR, to_scan_error(vx::make_error_code(vx::EC_ALREADY_IN_PROGRESS)));
  EXPECT_EQ(vx::SE_UNEXPECTED_ERROR, to_scan_error(make_error_code(errc::io_error)));
}

TEST_F(SieveConnection, ReportsOfATreeInBothModes) {
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) dir.write(std::string("t/") + name, name);
  const struct {
    bool contscan;
    std::vector<std::string> reports;
  } cases[] = {
      // Everything after the first threat is dropped, errors included.
      {false, {"1 /t/b !SE_NO_ACCESS", "1 /t/c FOUND Eicar"}},
      // No clean report once a threat was reported.
      {true, {"1 /t/b !SE_NO_ACCESS", "1 /t/c FOUND Eicar", "1 /t !SE_FILE_NOT_FOUND", "1 /t/f FOUND Member"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.contscan ? "contscan" : "scan");
    reports.clear();
    idle = 0;
    create();
    open();
    const std::string t = dir.path() + "/t";
    if (c.contscan)
      connection->contscan(1, t, handler());
    else
      connection->scan(1, t, handler());
    auto serials = requests(6);
    std::set<std::uint32_t> distinct;
    for (const auto& r : serials) distinct.insert(r.second);
    EXPECT_EQ((std::set<std::uint32_t>{0, 1, 2, 3, 4, 5}), distinct);

    // Answered in name order, whatever order the walk sent them in.
    sieve.answer(serials["/t/a"], report_of(t + "/a"));
    vx::ScanReport denied = report_of(t + "/b");
    denied.set_error(vx::SE_NO_ACCESS);
    sieve.answer(serials["/t/b"], denied);
    sieve.answer(serials["/t/c"], report_of(t + "/c", vx::SE_KNOWN_VIRUS, "Eicar"), 41);
    sv::ServerMessage failed;
    failed.set_tag(sv::ServerMessage::PROXY_SCAN_RESPONSE);
    failed.set_serial(serials["/t/d"]);
    failed.mutable_error()->set_code(vx::EC_NO_SUCH_ENTRY);
    sieve.send(failed);
    sieve.answer(serials["/t/e"], report_of(t + "/e", vx::SE_ADWARE, "Ads"));
    ASSERT_TRUE(run_until(io(), [&] { return reports.size() >= 2; }));
    EXPECT_EQ(1u, connection->job_count());
    EXPECT_EQ(0, idle);
    vx::ScanReport archive = report_of(t + "/f");
    *archive.add_item() = report_of(t + "/f/member", vx::SE_VIRUS_MODIFICATION, "Member");
    sieve.answer(serials["/t/f"], archive, 42);

    ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
    EXPECT_EQ(c.reports, reports);
    EXPECT_EQ(0u, connection->job_count());
    // One ignore per registered threat, with a counter of its own.
    for (int id : {41, 42})
      EXPECT_EQ("tag: THREAT_OP_REQUEST serial: " + std::to_string(id - 41) + " threat_id: " + std::to_string(id) +
                    " op: THREAT_OP_IGNORE origin: APP_CLAMD pid: " + std::to_string(getpid()),
                sieve.receive(io()).ShortDebugString());
  }
}

TEST_F(SieveConnection, WaitingJobsCleanReportsSerialsAndOptions) {
  dir.write("clean/x", "x");
  dir.write("clean/y", "y");
  const std::string file = dir.write("file", "f");
  ASSERT_TRUE(boost::filesystem::create_directory(dir.path() + "/empty"));
  create();
  const std::string d = dir.path();
  connection->scan(5, d + "/clean", handler());
  connection->scan(2, file, handler());
  connection->contscan(3, d + "/empty", handler());
  connection->scan(4, d + "/missing", handler());
  inventory.config().update(config_with_archive_level(3));  // not open yet: nothing is sent
  const auto options = open();
  // Every field is present, defaults included; the endpoint's values win.
  EXPECT_EQ("scan_timeout_ms: 20000 heuristic_analysis: true packer_max_level: 4 archive_max_level: 3 "
            "mail_max_level: 2 container_max_level: 6 max_compression_ratio: 300",
            options.ShortDebugString());

  auto serials = requests(3);
  EXPECT_EQ(0u, serials["/file"]);  // job 2 went first
  for (const auto& r : serials) sieve.answer(r.second, report_of(d + r.first));
  ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
  std::sort(reports.begin(), reports.end());
  EXPECT_EQ((std::vector<std::string>{"2 /file", "3 /empty", "4 /missing !SE_FILE_NOT_FOUND", "5 /clean"}), reports);

  // Serials go on across jobs; new options go out as soon as they change.
  reports.clear();
  inventory.config().update(config_with_archive_level(0));
  connection->scan(6, file, handler());
  const auto again = sieve.receive(io());
  EXPECT_EQ(sv::ClientMessage::PROXY_OPTIONS_NOTIFICATION, again.tag());
  EXPECT_TRUE(again.proxy_options().has_archive_max_level());
  EXPECT_EQ(0u, again.proxy_options().archive_max_level());
  EXPECT_EQ(3u, requests(1).at("/file"));
  sieve.answer(3, report_of(file));
  ASSERT_TRUE(run_until(io(), [&] { return idle == 2; }));
  EXPECT_EQ((std::vector<std::string>{"6 /file"}), reports);
}

TEST_F(SieveConnection, FailuresAreReportedOnceAndNeverThrown) {
  const std::string refused = dir.path() + "/refused.sock";
  { sieve_end_t closed_at_once(refused); }
  const auto garbage = [this] { sieve.send_raw(frame_header(2) + "\x10\x05"); };  // a serial without a tag
  const struct {
    std::function<void()> act;
    boost::system::error_code code;
    std::string log_line;
  } cases[] = {
      {[&] { answer_warden("", vx::EC_NOT_INSTALLED); }, vx::make_error_code(vx::EC_NOT_INSTALLED),
       "Error: Sieve is not available: Component is not installed"},
      {[&] { answer_warden(dir.path() + "/none.sock"); },
       boost::system::error_code(ENOENT, boost::system::system_category()),
       "Error: Sieve is not available: connect: No such file or directory [system:2]"},
      {[&] { answer_warden(refused); }, boost::system::error_code(ECONNREFUSED, boost::system::system_category()),
       "Error: Sieve is not available: connect: Connection refused [system:111]"},
      {[&] {
         open();
         sv::ServerMessage alarm;
         alarm.set_tag(sv::ServerMessage::PROXY_ALARM);
         alarm.mutable_error()->set_code(vx::EC_NO_CORE_ENGINE);
         sieve.send(alarm);
       },
       vx::make_error_code(vx::EC_NO_CORE_ENGINE), ""},
      {[&] {
         open();
         garbage();
       },
       vx::make_error_code(vx::EC_BAD_MESSAGE_FORMAT), ""},
      {[&] {
         open();
         ::shutdown(sieve.fd, SHUT_RDWR);
       },
       boost::asio::error::eof, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code.message());
    failures.clear();
    create();
    c.act();
    ASSERT_TRUE(run_until(io(), [&] { return !failures.empty(); }));
    run_ready(io());
    EXPECT_EQ(std::vector<boost::system::error_code>{c.code}, failures);
    if (!c.log_line.empty()) {
      EXPECT_TRUE(log->contains(c.log_line)) << c.log_line;
    }
  }
}

TEST_F(SieveConnection, StrayAnswersAndAnythingAfterStopReachNoHandler) {
  dir.write("t/a", "a");
  dir.write("t/b", "b");
  create();
  open();
  connection->scan(1, dir.path() + "/t", handler());
  const auto serials = requests(2);
  const std::uint32_t first = serials.begin()->second;
  sieve.answer(first, report_of(dir.path() + "/t/a"));
  sieve.answer(first, report_of(dir.path() + "/t/a"));  // a second answer must not end the job
  sieve.answer(999, report_of(dir.path() + "/t/a", vx::SE_KNOWN_VIRUS, "Eicar"));
  ASSERT_TRUE(run_until(io(), [&] { return log->contains("ignoring response to unknown serial 999"); }));
  EXPECT_TRUE(log->contains("ignoring response to unknown serial " + std::to_string(first)));
  EXPECT_TRUE(reports.empty());

  connection->scan(2, dir.path() + "/missing", handler());
  connection->stop();
  std::string body;
  EXPECT_TRUE(run_until(io(), [&] { return !sieve.reader->poll(body) && sieve.reader->closed(); }));
  run_ready(io());
  EXPECT_TRUE(reports.empty());
  EXPECT_EQ(0u, connection->job_count());

  // Warden's answer after stop is dropped as well.
  create();
  connection->stop();
  answer_warden("", vx::EC_NOT_INSTALLED);
  ASSERT_TRUE(run_until(io(), [&] { return log->contains("Warden --> GET_SIEVE_RESPONSE"); }));
  EXPECT_FALSE(log->contains("is not available"));
  EXPECT_TRUE(failures.empty());
  EXPECT_EQ(0, idle);
}

// The producer's last word may come after every answer of the job: the
// job must end there too. The producer is held on job 1's error line so
// that the test alone delivers for the jobs queued behind it.
TEST_F(SieveConnection, JobsEndWhenTheProducerFinishesLast) {
  auto gate = std::make_shared<gated_log_t>("Error producing paths");
  cflog::install(gate);
  log = gate;
  struct release_t {
    gated_log_t& gate;
    ~release_t() { gate.release(); }
  } release{*gate};
  const std::string tree = dir.write("t/x", "x").substr(0, dir.path().size() + 2);
  const std::string file = dir.write("file", "f");
  create();
  open();
  connection->scan(1, dir.path() + "/missing", handler());
  ASSERT_TRUE(run_until(io(), [&] { return gate->holding(); }));
  connection->contscan(2, tree, handler());
  connection->scan(3, tree, handler());
  cl_path_producer_t::delegate_t& producer_side = *connection;
  const auto settled = [&] {
    // A message after the answers: once it is seen, they were handled.
    const auto seen = count_lines("proxy ready");
    sv::ServerMessage ready;
    ready.set_tag(sv::ServerMessage::PROXY_READY);
    sieve.send(ready);
    return run_until(io(), [&] { return count_lines("proxy ready") > seen; });
  };

  producer_side.on_paths(2, {tree + "/x"}, false);
  sieve.answer(requests(1).begin()->second, report_of(tree + "/x"));
  ASSERT_TRUE(settled());
  EXPECT_TRUE(reports.empty());
  producer_side.on_paths(2, {}, true);
  EXPECT_EQ((std::vector<std::string>{"2 /t"}), reports);

  // A walk that fails after sending files reports the failure, never clean.
  producer_side.on_paths(3, {tree + "/x"}, false);
  const auto serial = requests(1).begin()->second;
  producer_side.on_task_error(3, tree, vx::make_error_code(vx::EC_NO_MEMORY), true);
  EXPECT_EQ((std::vector<std::string>{"2 /t", "3 /t !SE_UNEXPECTED_ERROR"}), reports);
  EXPECT_EQ(2u, connection->job_count());
  sieve.answer(serial, report_of(tree + "/x"));
  ASSERT_TRUE(settled());
  EXPECT_EQ(1u, connection->job_count());

  gate->release();
  ASSERT_TRUE(run_until(io(), [&] { return idle == 1; }));
  // The real deliveries for jobs 2 and 3 come later and send nothing.
  connection->scan(4, file, handler());
  EXPECT_EQ(2u, requests(1).at("/file"));
  EXPECT_EQ((std::vector<std::string>{"2 /t", "3 /t !SE_UNEXPECTED_ERROR", "1 /missing !SE_FILE_NOT_FOUND"}),
            reports);
}
