#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "courier_client_ipc.pb.h"
#include "eng_engine.h"
#include "eng_stream.h"
#include "fixtures.h"
#include "sieve_client_ipc.pb.h"
#include "temp_dir.h"
#include "text_message.h"
#include "vemra_version.h"

namespace {

using fixture::archive;
using fixture::eicar;
using fixture::tree;

TEST(EngineFiles, ReadsFilesAndReportsWhyNot) {
  temp_dir_t dir;
  const std::string file = dir.write("eicar.com", eicar());
  const std::string locked = dir.write("locked", "data");
  // Past the size where buffers come from their own huge-page mapping.
  const std::string large = dir.write("large", "VEMRA-TEST-SIGNATURE-KNOWN-VIRUS" + std::string(9 << 20, ' '));
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  ASSERT_EQ(mkfifo((dir.path() + "/fifo").c_str(), 0600), 0);
  eng_engine_t engine;
  const eng_options_t options;
  const struct {
    std::string path;
    std::string tree;
  } rows[] = {
      {file, file + " KNOWN_VIRUS:EICAR-Test-File"},
      {large, large + " KNOWN_VIRUS:Vemra-Test-Known-Virus"},
      {dir.path() + "/missing", dir.path() + "/missing !FILE_NOT_FOUND"},
      {file + "/below", file + "/below !FILE_NOT_FOUND"},
      {"", " !FILE_NOT_FOUND"},
      {dir.path(), dir.path() + " !FILE_NOT_REGULAR"},
      // A FIFO without a writer must be refused, not waited on.
      {dir.path() + "/fifo", dir.path() + "/fifo !FILE_NOT_REGULAR"},
      // Pseudo files report size 0 and still have content.
      {"/proc/self/status", "/proc/self/status"},
      // Permissions do not bind root.
      {locked, locked + (geteuid() == 0 ? "" : " !NO_ACCESS")},
  };
  for (const auto& row : rows) EXPECT_EQ(tree(engine.scan_file(row.path, options)), row.tree);
  EXPECT_EQ(engine.scan_file(file, options).size(), eicar().size());
  EXPECT_EQ(engine.scan_file(large, options).size(), 32u + (9 << 20));
  EXPECT_GT(engine.scan_file("/proc/self/status", options).size(), 0u);

  eng_options_t small = options;
  small.max_size_to_scan = 10;
  EXPECT_EQ(tree(engine.scan_file(file, small)), file + " !OBJECT_SIZE_LIMIT");
  eng_limits_t limits;
  limits.max_object_size = 10;
  const auto report = eng_engine_t(limits).scan_file(file, options);
  EXPECT_EQ(tree(report), file + " !FILE_TOO_LARGE");
  EXPECT_EQ(report.size(), eicar().size());
}

TEST(EngineStreams, ChunksScanLikeOneBuffer) {
  eng_engine_t engine;
  const eng_options_t options;
  const std::string data = archive("zip", {{"eicar.com", eicar()}}, "", "", "zip:compression=store");
  const auto whole = engine.scan_buffer("stream", data.data(), data.size(), options);
  ASSERT_EQ(tree(whole), "stream archive:zip {eicar.com KNOWN_VIRUS:EICAR-Test-File}");
  eng_stream_t stream(engine, "stream");
  // Every split point, and the stream reused after each finish.
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    stream.append(data.data(), cut);
    stream.append(data.data() + cut, data.size() - cut);
    EXPECT_EQ(stream.size(), data.size());
    EXPECT_EQ(stream.finish(options).ShortDebugString(), whole.ShortDebugString()) << "cut at " << cut;
  }
  EXPECT_EQ(stream.finish(options).ShortDebugString(), "object: \"stream\" size: 0");

  eng_limits_t limits;
  limits.max_object_size = 100;
  eng_engine_t tight(limits);
  eng_stream_t long_stream(tight, "stream");
  for (int i = 0; i < 5; ++i) long_stream.append(eicar().data(), eicar().size());
  const auto report = long_stream.finish(options);
  EXPECT_EQ(tree(report), "stream !OBJECT_SIZE_LIMIT");
  EXPECT_EQ(report.size(), 5 * eicar().size());
}

std::string text(const eng_options_t& o) {
  std::string out;
  for (auto value : {std::uint64_t(o.scan_timeout_ms), std::uint64_t(o.heuristic_analysis),
                     std::uint64_t(o.archive_max_level), std::uint64_t(o.container_max_level),
                     std::uint64_t(o.max_compression_ratio), o.max_size_to_extract, o.min_size_to_scan,
                     o.max_size_to_scan, std::uint64_t(o.list_clean_items), std::uint64_t(o.report_component_info)})
    out += std::to_string(value) + " ";
  return out;
}

TEST(EngineOptions, BothRequestKindsMapOntoOneOptionSet) {
  const std::string unlimited = std::to_string(eng_options_t::unlimited);
  // A data scan sent without options is the default option set.
  EXPECT_EQ(text(eng_options_t::from(cr::ScanOptions())), text(eng_options_t()));
  EXPECT_EQ(text(eng_options_t::from(parse_text<cr::ScanOptions>(
                "scan_timeout_ms: 1 heuristic_analysis: false archive_max_level: 2 container_max_level: 3 "
                "max_compression_ratio: 4 max_size_to_extract: 5 min_size_to_scan: 6 max_size_to_scan: 7 "
                "list_clean_items: true report_component_info: true"))),
            "1 0 2 3 4 5 6 7 1 1 ");
  // A file check leaves archives closed unless asked; how each field of
  // the file check's options maps is the Sieve proxy tests'.
  EXPECT_EQ(text(eng_options_t::from(sv::ProxyOptions())),
            "30000 1 0 8 500 " + unlimited + " 0 " + unlimited + " 0 0 ");
}

TEST(EngineScans, TimeoutStopsTheScanAndKeepsWhatWasFound) {
  // A clock that moves one millisecond each time it is read.
  auto ticks = std::make_shared<std::atomic<int>>(0);
  eng_limits_t limits;
  limits.clock = [ticks] { return std::chrono::steady_clock::time_point(std::chrono::milliseconds(++*ticks)); };
  eng_engine_t engine(limits);
  std::vector<fixture::member_t> members{{"eicar.com", eicar()}};
  for (int i = 0; i < 200; ++i) members.push_back({"m" + std::to_string(i), "clean"});
  const std::string tar = archive("tar", members);
  eng_options_t options;
  options.scan_timeout_ms = 20;
  const auto report = engine.scan_buffer("t", tar.data(), tar.size(), options);
  EXPECT_EQ(report.error(), vx::SE_SCAN_TIMEOUT);
  ASSERT_GE(report.item_size(), 1);
  EXPECT_EQ(tree(report.item(0)), "eicar.com KNOWN_VIRUS:EICAR-Test-File");
  // Stopped long before the end.
  options.list_clean_items = true;
  EXPECT_LT(engine.scan_buffer("t", tar.data(), tar.size(), options).item_size(), 100);
  options.scan_timeout_ms = 0;
  EXPECT_FALSE(engine.scan_buffer("t", tar.data(), tar.size(), options).has_error());
}

TEST(EngineScans, ComponentInfoOnRequest) {
  temp_dir_t dir;
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({dir.write("one.yar", "rule one { condition: false }\n")}).empty());
  eng_options_t options;
  EXPECT_EQ(tree(engine.scan_buffer("x", "x", 1, options)), "x");
  options.report_component_info = true;
  const auto report = engine.scan_buffer("x", "x", 1, options);
  // The nine built-in rules and the administrator's one.
  EXPECT_EQ(report.virus_records(), 10u);
  EXPECT_EQ(report.se_version(), VEMRA_VERSION);
  EXPECT_EQ(report.core_engine_version().rfind("YARA 4.", 0), 0u) << report.core_engine_version();
  EXPECT_NE(report.core_engine_version().find("libarchive 3."), std::string::npos) << report.core_engine_version();
  EXPECT_EQ(report.base_stamp(), engine.rules()->stamp());
}

TEST(EngineScans, ThreadsShareRulesAndAgree) {
  temp_dir_t dir;
  const std::string rule = dir.write("local.yar", "rule local { strings: $a = \"local marker\" condition: $a }\n");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({rule}).empty());
  eng_options_t options;
  options.list_clean_items = true;
  const std::vector<std::string> objects = {
      eicar(),
      "... local marker ...",
      archive("zip", {{"a", eicar()}, {"b", "VEMRA-TEST-SIGNATURE-DIALER"}, {"c", "clean"}}),
      archive("zip", {{"t.tgz", archive("tar", {{"x", eicar()}}, "gzip")}}),
      archive("zip", {{"e", eicar()}}, "", "secret"),
  };
  auto scan = [&](std::size_t i) { return engine.scan_buffer("o", objects[i].data(), objects[i].size(), options); };
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < objects.size(); ++i) expected.push_back(scan(i).DebugString());

  std::atomic<bool> scanning{true};
  std::atomic<int> mismatches{0};
  // Reloads the same rules over and over while the scans run.
  std::thread reloader([&] {
    while (scanning)
      if (!engine.load_rules({rule}).empty()) ++mismatches;
  });
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (std::size_t round = 0; round < 30; ++round)
        if (scan((round + t) % objects.size()).DebugString() != expected[(round + t) % objects.size()]) ++mismatches;
    });
  }
  for (auto& t : threads) t.join();
  scanning = false;
  reloader.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
