#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include <gtest/gtest.h>
#include <google/protobuf/util/message_differencer.h>

#include "courier_client_ipc.pb.h"
#include "eng_engine.h"
#include "eng_stream.h"
#include "fixtures.h"
#include "sieve_client_ipc.pb.h"

namespace {

using fixture::archive;
using fixture::eicar;

TEST(EngineFiles, ReadsFilesAndReportsWhyNot) {
  fixture::temp_dir_t dir;
  eng_engine_t engine;
  const eng_options_t options;
  const std::string file = dir.write("eicar.com", eicar());
  EXPECT_TREE(engine.scan_file(file, options),
              "object: \"" + file + "\" virus { type: SE_KNOWN_VIRUS name: \"EICAR-Test-File\" }");
  EXPECT_EQ(engine.scan_file(file, options).size(), eicar().size());

  EXPECT_EQ(engine.scan_file(dir.path() + "/missing", options).error(), vx::SE_FILE_NOT_FOUND);
  EXPECT_EQ(engine.scan_file(file + "/below", options).error(), vx::SE_FILE_NOT_FOUND);
  EXPECT_EQ(engine.scan_file("", options).error(), vx::SE_FILE_NOT_FOUND);
  EXPECT_EQ(engine.scan_file(dir.path(), options).error(), vx::SE_FILE_NOT_REGULAR);
  // A FIFO without a writer must be refused, not waited on.
  const std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(engine.scan_file(fifo, options).error(), vx::SE_FILE_NOT_REGULAR);
  // Pseudo files report size 0 and still have content.
  const auto proc = engine.scan_file("/proc/self/status", options);
  EXPECT_FALSE(proc.has_error());
  EXPECT_GT(proc.size(), 0u);

  eng_options_t small = options;
  small.max_size_to_scan = 10;
  EXPECT_TREE(engine.scan_file(file, small), "object: \"" + file + "\" error: SE_OBJECT_SIZE_LIMIT");
  eng_limits_t limits;
  limits.max_object_size = 10;
  eng_engine_t tight(limits);
  const auto report = tight.scan_file(file, options);
  EXPECT_EQ(report.error(), vx::SE_FILE_TOO_LARGE);
  EXPECT_EQ(report.size(), eicar().size());
}

TEST(EngineFiles, UnreadableFileIsNoAccess) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  fixture::temp_dir_t dir;
  const std::string file = dir.write("locked", "data");
  ASSERT_EQ(chmod(file.c_str(), 0), 0);
  eng_engine_t engine;
  EXPECT_EQ(engine.scan_file(file, eng_options_t()).error(), vx::SE_NO_ACCESS);
}

TEST(EngineStreams, ChunksScanLikeOneBuffer) {
  eng_engine_t engine;
  const eng_options_t options;
  const std::string data = archive("zip", {{"eicar.com", eicar()}}, "", "", "zip:compression=store");
  const auto whole = engine.scan_buffer("stream", data.data(), data.size(), options);
  ASSERT_EQ(whole.item_size(), 1);
  eng_stream_t stream(engine, "stream");
  // Every split point, and the stream reused after each finish.
  for (std::size_t cut = 0; cut <= data.size(); ++cut) {
    stream.append(data.data(), cut);
    stream.append(data.data() + cut, data.size() - cut);
    EXPECT_EQ(stream.size(), data.size());
    EXPECT_EQ("", fixture::difference(whole, stream.finish(options))) << "cut at " << cut;
  }
  const auto empty = stream.finish(options);
  EXPECT_TREE(empty, "object: \"stream\"");
  EXPECT_TRUE(empty.has_size());
  EXPECT_EQ(empty.size(), 0u);

  eng_limits_t limits;
  limits.max_object_size = 100;
  eng_engine_t tight(limits);
  eng_stream_t long_stream(tight, "stream");
  for (int i = 0; i < 5; ++i) long_stream.append(eicar().data(), eicar().size());
  const auto report = long_stream.finish(options);
  EXPECT_TREE(report, "object: \"stream\" error: SE_OBJECT_SIZE_LIMIT");
  EXPECT_EQ(report.size(), 5 * eicar().size());
}

TEST(EngineOptions, BothRequestKindsMapOntoOneOptionSet) {
  const auto proxy = eng_options_t::from(sv::ProxyOptions());
  EXPECT_EQ(proxy.scan_timeout_ms, 30000u);
  EXPECT_EQ(proxy.archive_max_level, 0u);
  EXPECT_EQ(proxy.container_max_level, 8u);
  EXPECT_TRUE(proxy.heuristic_analysis);

  const auto plain = eng_options_t::from(cr::ScanOptions());
  EXPECT_EQ(plain.scan_timeout_ms, 3600000u);
  EXPECT_EQ(plain.archive_max_level, 8u);
  EXPECT_EQ(plain.max_compression_ratio, 500u);
  EXPECT_EQ(plain.max_size_to_scan, eng_options_t::unlimited);
  EXPECT_FALSE(plain.list_clean_items);

  cr::ScanOptions set;
  set.set_scan_timeout_ms(1);
  set.set_heuristic_analysis(false);
  set.set_archive_max_level(2);
  set.set_container_max_level(3);
  set.set_max_compression_ratio(4);
  set.set_max_size_to_extract(5);
  set.set_min_size_to_scan(6);
  set.set_max_size_to_scan(7);
  set.set_list_clean_items(true);
  set.set_report_component_info(true);
  const auto mapped = eng_options_t::from(set);
  EXPECT_EQ(mapped.scan_timeout_ms, 1u);
  EXPECT_FALSE(mapped.heuristic_analysis);
  EXPECT_EQ(mapped.archive_max_level, 2u);
  EXPECT_EQ(mapped.container_max_level, 3u);
  EXPECT_EQ(mapped.max_compression_ratio, 4u);
  EXPECT_EQ(mapped.max_size_to_extract, 5u);
  EXPECT_EQ(mapped.min_size_to_scan, 6u);
  EXPECT_EQ(mapped.max_size_to_scan, 7u);
  EXPECT_TRUE(mapped.list_clean_items);
  EXPECT_TRUE(mapped.report_component_info);
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
  const auto report = engine.scan_buffer("t.tar", tar.data(), tar.size(), options);
  EXPECT_EQ(report.error(), vx::SE_SCAN_TIMEOUT);
  ASSERT_GE(report.item_size(), 1);
  EXPECT_EQ(report.item(0).virus(0).name(), "EICAR-Test-File");
  // Stopped long before the end.
  options.list_clean_items = true;
  EXPECT_LT(engine.scan_buffer("t.tar", tar.data(), tar.size(), options).item_size(), 100);

  options.scan_timeout_ms = 0;
  EXPECT_FALSE(engine.scan_buffer("t.tar", tar.data(), tar.size(), options).has_error());
}

TEST(EngineScans, ComponentInfoOnRequest) {
  eng_engine_t engine;
  eng_options_t options;
  EXPECT_FALSE(engine.scan_buffer("x", "x", 1, options).has_core_engine_version());
  options.report_component_info = true;
  const auto report = engine.scan_buffer("x", "x", 1, options);
  EXPECT_EQ(report.virus_records(), 9u);
  EXPECT_EQ(report.core_engine_version().rfind("YARA ", 0), 0u);
  EXPECT_FALSE(report.se_version().empty());
  EXPECT_GT(report.base_stamp(), 0u);
}

TEST(EngineScans, ThreadsShareRulesAndAgree) {
  fixture::temp_dir_t dir;
  const std::string rule = dir.write("local.yar", "rule local { strings: $a = \"local marker\" condition: $a }\n");
  eng_engine_t engine;
  ASSERT_TRUE(engine.load_rules({rule}).empty());
  eng_options_t options;
  options.list_clean_items = true;
  const std::vector<std::string> objects = {
      eicar(),
      "clean text",
      "... local marker ...",
      archive("zip", {{"a", eicar()}, {"b", "VEMRA-TEST-SIGNATURE-DIALER"}, {"c", "clean"}}),
      archive("zip", {{"t.tgz", archive("tar", {{"x", eicar()}}, "gzip")}}),
      archive("zip", {{"e", eicar()}}, "", "secret"),
  };
  std::vector<vx::ScanReport> expected;
  for (const auto& o : objects) expected.push_back(engine.scan_buffer("o", o.data(), o.size(), options));

  std::atomic<bool> scanning{true};
  std::atomic<int> mismatches{0};
  // Reloads the same rules over and over while the scans run.
  std::thread reloader([&] {
    while (scanning) {
      if (!engine.load_rules({rule}).empty()) ++mismatches;
    }
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        const std::size_t i = static_cast<std::size_t>(round + t) % objects.size();
        const auto report = engine.scan_buffer("o", objects[i].data(), objects[i].size(), options);
        if (!google::protobuf::util::MessageDifferencer::Equals(report, expected[i])) ++mismatches;
      }
    });
  }
  for (auto& t : threads) t.join();
  scanning = false;
  reloader.join();
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
