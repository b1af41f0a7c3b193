#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cr_exchange.h"
#include "cr_scan.h"
#include "eng_engine.h"
#include "svc_frame.h"
#include "temp_dir.h"
#include "text_message.h"

namespace {

typedef cr_exchange_t::action_t action_t;

// The whole data of a job handed to a scan, wherever it is kept.
std::string contents(const cr_job_data_t& data) {
  if (data.file() < 0) return std::string(data.bytes().begin(), data.bytes().end());
  std::string text(data.size(), '\0');
  EXPECT_EQ(pread(data.file(), &text[0], text.size(), 0), static_cast<ssize_t>(text.size()));
  return text;
}

// "scan job data", "fault", "none", or an ALARM's job and error code.
std::string outcome(const action_t& a) {
  if (a.kind == action_t::scan) return "scan " + std::to_string(a.job_id) + " '" + contents(*a.data) + "'";
  if (a.kind == action_t::fault || a.kind == action_t::none) return a.kind == action_t::fault ? "fault" : "none";
  return cr::ServerMessage::ServerMessageTag_Name(a.answer.tag()) + " " + std::to_string(a.answer.job_id()) + " " +
         vx::ErrorCode_Name(a.answer.error().code());
}

struct CourierExchange : ::testing::Test {
  CourierExchange() { configure(); }
  void configure(std::uint32_t window = 100, std::uint64_t memory = 1 << 20, std::uint64_t max_size = 1 << 20) {
    settings.window = window;
    settings.memory = memory;
    settings.spill.dir = spill_dir.path();
    settings.spill.max_size = max_size;
    exchange.reset(new cr_exchange_t(settings));
  }
  action_t send(const std::string& text) { return exchange->on_message(parse_text<cr::ClientMessage>(text)); }
  action_t data(std::uint32_t job, const std::string& bytes) {
    return send("tag: DATA_CHUNK job_id: " + std::to_string(job) + " data: '" + bytes + "'");
  }

  temp_dir_t spill_dir;
  cr_settings_t settings;
  std::unique_ptr<cr_exchange_t> exchange;
};

TEST_F(CourierExchange, EachMessageGetsItsAction) {
  const std::pair<std::string, std::string> cases[] = {
      {"tag: DATA_CHUNK job_id: 9 data: 'x'", "ALARM 9 EC_NO_SUCH_ENTRY"},
      {"tag: INIT", "fault"},
      {"tag: INIT job_id: 1", "none"},
      {"tag: DATA_CHUNK job_id: 1 data: 'ab'", "none"},
      {"tag: DATA_CHUNK job_id: 1", "none"},  // an empty chunk
      {"tag: DATA_CHUNK job_id: 1 data: 'cd'", "none"},
      {"tag: SCAN_REQUEST job_id: 1", "scan 1 'abcd'"},
      {"tag: DATA_CHUNK job_id: 1 data: 'e'", "ALARM 1 EC_INVALID_STATE"},
      // Refused: what was still on its way is swallowed until the RESET.
      {"tag: DATA_CHUNK job_id: 1 data: 'f'", "none"},
      {"tag: SCAN_REQUEST job_id: 1", "none"},
      {"tag: RESET job_id: 1", "none"},
      {"tag: SCAN_REQUEST job_id: 1", "ALARM 1 EC_NO_SUCH_ENTRY"},
      // Two streams under one id: neither is scanned.
      {"tag: INIT job_id: 2", "none"},
      {"tag: DATA_CHUNK job_id: 2 data: 'gh'", "none"},
      {"tag: INIT job_id: 2", "ALARM 2 EC_ALREADY_IN_PROGRESS"},
      {"tag: SCAN_REQUEST job_id: 2", "none"},
      {"tag: RESET job_id: 2", "none"},
      {"tag: INIT job_id: 2", "none"},
      {"tag: SCAN_REQUEST job_id: 2", "scan 2 ''"},
      {"tag: SCAN_REQUEST job_id: 2", "ALARM 2 EC_ALREADY_IN_PROGRESS"},
      {"tag: RESET job_id: 7", "none"},
      {"tag: GET_DATA_REQUEST job_id: 3", "none"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.second, outcome(send(c.first))) << c.first;
  for (const std::string& body : {std::string("\xff\xff\xff"), std::string("\x20\x01")})
    EXPECT_EQ("fault", outcome(exchange->on_frame(reinterpret_cast<const unsigned char*>(body.data()), body.size())));

  // One connection cannot open jobs without end.
  for (std::uint32_t id = 100; exchange->jobs() < cr_exchange_t::max_jobs; ++id) send("tag: INIT job_id: " + std::to_string(id));
  EXPECT_EQ("ALARM 5 EC_LIMIT_REACHED", outcome(send("tag: INIT job_id: 5")));
}

TEST_F(CourierExchange, ScanAnswersGoOnlyToJobsStillWaitingForThem) {
  send("tag: INIT job_id: 1");
  send("tag: INIT job_id: 2");
  data(1, "abc");
  const action_t first = send("tag: SCAN_REQUEST job_id: 1");
  const action_t second = send("tag: SCAN_REQUEST job_id: 2");
  send("tag: RESET job_id: 2");
  // Reset while scanned, and opened again under its id: the old scan's
  // answer is for nobody.
  send("tag: INIT job_id: 2");
  EXPECT_TRUE(exchange->finish(1, first.ticket));
  EXPECT_FALSE(exchange->finish(2, second.ticket));
  EXPECT_FALSE(exchange->finish(1, first.ticket));
  EXPECT_EQ(exchange->jobs(), 1u);
  EXPECT_EQ("none", outcome(data(2, "new")));

  EXPECT_EQ("tag: ALARM job_id: 4 error { code: EC_IO_ERROR what: \"disk full\" }",
            cr_exchange_t::answer(4, {{}, vx::EC_IO_ERROR, "disk full"}).ShortDebugString());
}

TEST_F(CourierExchange, CreditComesBackAsDataIsStoredAndAnOverrunEndsTheConnection) {
  EXPECT_EQ(exchange->max_frame(), 200u + cr_exchange_t::frame_overhead);
  send("tag: INIT job_id: 1");
  // Before a HELLO that asks for it, nothing is metered.
  data(1, std::string(500, 'a'));
  EXPECT_EQ(exchange->take_credit(), 0);
  send("tag: HELLO origin: APP_CLAMD origin_pid: 7 flow_control: true");
  const struct {
    std::size_t chunk;       // 0: take the credit due instead
    std::string outcome;
    std::int64_t balance;    // after the step
  } steps[] = {
      {0, "100", 100},
      {60, "none", 40},
      {0, "60", 100},
      {0, "0", 100},
      // Up to a window beyond the credit is tolerated...
      {150, "none", -50},
      {50, "none", -100},
      // ...and one byte more is not.
      {1, "fault", -100},
      {0, "200", 100},
  };
  for (const auto& s : steps) {
    const std::string got =
        s.chunk ? outcome(data(1, std::string(s.chunk, 'b'))) : std::to_string(exchange->take_credit());
    EXPECT_EQ(std::make_pair(got, exchange->balance()), std::make_pair(s.outcome, s.balance)) << s.chunk;
  }
  // Data for no job, or a refused one, is taken all the same.
  data(9, std::string(30, 'c'));
  EXPECT_EQ(exchange->take_credit(), 30);
  // A second HELLO grants nothing more.
  send("tag: HELLO flow_control: true");
  EXPECT_EQ(exchange->take_credit(), 0);

  // A window as large as a frame may be does not make frames larger.
  configure(64 << 20);
  EXPECT_EQ(exchange->max_frame(), svc_max_message_size);
}

TEST_F(CourierExchange, MemoryIsBoundedPerConnectionAndTheRestGoesToUnnamedFiles) {
  configure(100, 10, 16);
  const std::string jobs[] = {"1", "2", "3", "4"};
  for (const auto& id : jobs) send("tag: INIT job_id: " + id);
  data(1, "12345678");
  // No longer fits beside job 1: to a file, with no name left behind.
  data(2, "abcdef");
  EXPECT_LE(exchange->memory().used, 10u);
  data(1, "9abc");
  data(3, "xy");
  EXPECT_TRUE(std::filesystem::is_empty(spill_dir.path()));
  // Past the largest size worth keeping, nothing is kept but the count.
  data(4, std::string(17, 'z'));

  action_t one = send("tag: SCAN_REQUEST job_id: 1"), two = send("tag: SCAN_REQUEST job_id: 2");
  action_t three = send("tag: SCAN_REQUEST job_id: 3"), four = send("tag: SCAN_REQUEST job_id: 4");
  std::string kept;  // where and what: "f" in a file, "m" in memory
  for (const action_t* a : {&one, &two, &three}) kept += (a->data->file() >= 0 ? " f:" : " m:") + contents(*a->data);
  EXPECT_EQ(" f:123456789abc f:abcdef m:xy", kept);
  // Where the data was kept is the black-box tests' matter; the scan of
  // data too large to keep reports its size alone.
  EXPECT_EQ("object: \"stream\" size: 17 error: SE_OBJECT_SIZE_LIMIT",
            cr_scan(eng_engine_t(), *four.data, eng_options_t()).report.ShortDebugString());
  // A scan holds its memory until it has ended, answered or not.
  send("tag: RESET job_id: 3");
  EXPECT_GT(exchange->memory().used, 0u);
  for (const action_t* a : {&one, &two, &three, &four}) exchange->finish(a->job_id, a->ticket);
  EXPECT_EQ(exchange->memory().used, 0u);

  // Files that cannot be made: the job cannot be scanned, and says so once.
  settings.spill.dir = spill_dir.path() + "/missing";
  exchange.reset(new cr_exchange_t(settings));
  send("tag: INIT job_id: 5");
  EXPECT_EQ("ALARM 5 EC_IO_ERROR", outcome(data(5, std::string(11, 'q'))));
  EXPECT_EQ("none", outcome(data(5, "more")));
  EXPECT_EQ("none", outcome(send("tag: SCAN_REQUEST job_id: 5")));
}

}  // namespace
