#include <random>

#include <gtest/gtest.h>

#include "eng_engine.h"
#include "courier_client_ipc.pb.h"
#include "fixtures.h"
#include "text_message.h"

namespace {

using fixture::archive;
using fixture::compressed;
using fixture::eicar;
using fixture::noise;

const std::string hit = " KNOWN_VIRUS:EICAR-Test-File";

// An archive of one member: the test file behind its own name.
std::string zip_of(const std::string& member, const std::string& data) { return archive("zip", {{member, data}}); }

// The same as s, with bytes replaced at an offset.
std::string patched(std::string s, std::size_t at, const std::string& bytes) {
  return s.replace(at, bytes.size(), bytes);
}

TEST(EngineArchives, ContainersLimitsAndDamage) {
  const std::string level1 = zip_of("2.zip", zip_of("3.zip", zip_of("eicar.com", eicar())));
  const std::string gz2 = compressed("gzip", compressed("gzip", eicar()));
  const std::string cut = archive("zip", {{"eicar.com", eicar()}, {"big.bin", noise(300000)}});
  const std::string tgz = archive("tar", {{"big.bin", noise(300000)}}, "gzip");
  const std::string stored =
      archive("zip", {{"a.txt", "some stored text"}, {"eicar.com", eicar()}}, "", "", "zip:compression=store");
  const std::string tar = archive("tar", {{"eicar.com", eicar()}, {"second", "clean"}});
  const std::string bomb = archive("zip", {{"zeros", std::string(16u << 20, '\0')}, {"eicar.com", eicar()}});
  const std::string big = archive("zip", {{"big", std::string(300000, 'a')}, {"eicar.com", eicar()}});
  std::vector<fixture::member_t> many;
  for (int i = 0; i < 10; ++i) many.push_back({"m" + std::to_string(i), "data"});

  const std::string readme_and_eicar = archive("zip", {{"readme.txt", "harmless"}, {"dir/eicar.com", eicar()}});
  // The options as a data scan request states them; a few rows tighten the
  // engine's own limits as well.
  using limits_t = void (*)(eng_limits_t&);
  const struct {
    const char* what;
    std::string data, options, tree;
    limits_t limits = nullptr;
  } rows[] = {
      {"clean members are left out", readme_and_eicar, "", "d/x.y archive:zip {dir/eicar.com" + hit + "}"},
      {"clean members listed", readme_and_eicar, "list_clean_items: true",
       "d/x.y archive:zip {readme.txt; dir/eicar.com" + hit + "}"},
      {"nested", archive("zip", {{"in.tgz", archive("tar", {{"d/eicar.com", eicar()}, {"n", "clean"}}, "gzip")}}), "",
       "d/x.y archive:zip {in.tgz archive:tar.gz {d/eicar.com" + hit + "}}"},
      {"7z", archive("7z", {{"m", eicar()}}), "", "d/x.y archive:7z {m" + hit + "}"},
      {"tar.bz2", archive("tar", {{"m", eicar()}}, "bzip2"), "", "d/x.y archive:tar.bz2 {m" + hit + "}"},
      {"cpio.xz", archive("cpio", {{"m", eicar()}}, "xz"), "", "d/x.y archive:cpio.xz {m" + hit + "}"},
      // A lone compressed stream is a container of one member, named after
      // the container when it stores no name of its own.
      {"gz", compressed("gzip", eicar()), "", "d/x.y container:gz {x" + hit + "}"},
      {"bz2", compressed("bzip2", eicar()), "", "d/x.y container:bz2 {x" + hit + "}"},
      {"zst", compressed("zstd", eicar()), "", "d/x.y container:zst {x" + hit + "}"},
      {"encrypted", archive("zip", {{"secret.com", eicar()}, {"secret.txt", "text"}}, "", "pass"), "",
       "d/x.y archive:zip {secret.com !PASSWORD_PROTECTED; secret.txt !PASSWORD_PROTECTED}"},

      {"3 archive levels", level1, "archive_max_level: 3",
       "d/x.y archive:zip {2.zip archive:zip {3.zip archive:zip {eicar.com" + hit + "}}}"},
      {"2 archive levels", level1, "archive_max_level: 2",
       "d/x.y archive:zip {2.zip archive:zip {3.zip archive:zip !ARCHIVE_LEVEL_LIMIT}}"},
      {"archives closed by choice", level1, "archive_max_level: 0", "d/x.y"},
      // Compressed streams count on their own level, one per stacked filter.
      {"2 container levels", gz2, "archive_max_level: 0 container_max_level: 2",
       "d/x.y container:gz.gz {x" + hit + "}"},
      {"1 container level", gz2, "container_max_level: 1", "d/x.y container:gz.gz !CONTAINER_LEVEL_LIMIT"},
      {"containers closed by choice", gz2, "container_max_level: 0", "d/x.y"},
      {"engine's nesting bound", gz2, "container_max_level: 100", "d/x.y container:gz.gz !CONTAINER_LEVEL_LIMIT",
       [](eng_limits_t& l) { l.max_nesting = 1; }},

      // Cut inside the second member: the first is still found.
      {"cut zip", cut.substr(0, cut.size() / 2), "",
       "d/x.y archive:zip {eicar.com" + hit + "; big.bin !ARCH_INCOMPLETE}"},
      {"cut tgz", tgz.substr(0, tgz.size() / 2), "", "d/x.y archive:tar.gz {big.bin !ARCH_INCOMPLETE}"},
      {"cut before the archive", tgz.substr(0, 12), "", "d/x.y container:gz !ARCH_INCOMPLETE"},
      // A stored member with one byte changed fails its checksum; the
      // members after it are still read.
      {"crc", patched(stored, stored.find("stored text"), "S"), "",
       "d/x.y archive:zip {a.txt !ARCH_CRC_ERROR; eicar.com" + hit + "}"},
      // A header that fails its checksum ends the walk; what came before stays.
      {"tar header", patched(tar, 1024 + 148, "777777"), "",
       "d/x.y archive:tar !ARCH_INVALID_HEADER {eicar.com" + hit + "}"},
      // A file name length (of the first local header) past the end.
      {"zip header", patched(stored, 26, "\xff\x7f"), "", "d/x.y archive:zip !ARCH_INCOMPLETE"},

      // 16 MiB of zeros deflate to about 16 KiB: the container is abandoned
      // there, and what follows is not reached.
      {"bomb", bomb, "max_compression_ratio: 100", "d/x.y archive:zip {zeros !COMPRESSION_LIMIT}"},
      {"no ratio limit", bomb, "max_compression_ratio: 0", "d/x.y archive:zip {eicar.com" + hit + "}"},
      // Small, very compressible members are below the floor of the rule.
      {"below the ratio floor", zip_of("zeros", std::string(512 * 1024, '\0')), "max_compression_ratio: 2",
       "d/x.y archive:zip"},
      {"extraction limit", big, "max_size_to_extract: 100000",
       "d/x.y archive:zip {big !OBJECT_SIZE_LIMIT; eicar.com" + hit + "}"},
      {"scan limit at the archive's size", big, "max_size_to_scan: " + std::to_string(big.size()),
       "d/x.y archive:zip {big !OBJECT_SIZE_LIMIT; eicar.com" + hit + "}"},
      {"scan limit below it", big, "max_size_to_scan: " + std::to_string(big.size() - 1), "d/x.y !OBJECT_SIZE_LIMIT"},
      {"smaller than scanned", eicar(), "min_size_to_scan: 100", "d/x.y"},
      // Headers can lie about sizes; the bound holds on the data itself.
      {"expanded bytes", big, "", "d/x.y archive:zip {big !ARCHIVE_SIZE_LIMIT; eicar.com" + hit + "}",
       [](eng_limits_t& l) { l.max_expanded_bytes = 100000; }},
      {"report items", archive("tar", many), "list_clean_items: true",
       "d/x.y archive:tar !REPORT_SIZE_LIMIT {m0; m1; m2}", [](eng_limits_t& l) { l.max_report_items = 3; }},
  };
  for (const auto& row : rows) {
    eng_limits_t limits;
    if (row.limits) row.limits(limits);
    const eng_engine_t engine(limits);
    const auto options = eng_options_t::from(parse_text<cr::ScanOptions>(row.options));
    EXPECT_EQ(fixture::tree(engine.scan_buffer("d/x.y", row.data.data(), row.data.size(), options)), row.tree)
        << row.what;
  }
}

TEST(EngineArchives, SizesAreThoseOfTheData) {
  const std::string zip = archive("zip", {{"readme.txt", "harmless"}, {"eicar.com", eicar()}});
  const auto report = eng_engine_t().scan_buffer("a.zip", zip.data(), zip.size(), eng_options_t());
  EXPECT_EQ(report.size(), zip.size());
  ASSERT_EQ(report.item_size(), 1);
  EXPECT_EQ(report.item(0).size(), eicar().size());
}

bool well_formed(const vx::ScanReport& report, int depth) {
  if (depth > 40 || !report.has_object()) return false;
  if (report.error() == vx::SE_ENGINE_ERROR || report.error() == vx::SE_UNEXPECTED_ERROR) return false;
  for (const auto& item : report.item())
    if (!well_formed(item, depth + 1)) return false;
  return true;
}

TEST(EngineArchives, MangledArchivesEndInReportsNotCrashes) {
  eng_engine_t engine;
  const std::vector<std::string> seeds = {
      archive("zip", {{"a", eicar()}, {"b", std::string(5000, 'x')}}),
      archive("7z", {{"a", eicar()}, {"b", std::string(5000, 'x')}}),
      archive("tar", {{"a", eicar()}, {"b", std::string(5000, 'x')}}, "gzip"),
      archive("cpio", {{"a", eicar()}}, "xz"),
      compressed("zstd", std::string(3000, 'y')),
  };
  std::mt19937 random(7);
  eng_options_t options;
  options.list_clean_items = true;
  for (int round = 0; round < 300; ++round) {
    std::string data = seeds[random() % seeds.size()];
    for (int flips = 1 + random() % 8; flips > 0; --flips) data[random() % data.size()] = static_cast<char>(random());
    if (random() % 4 == 0) data.resize(random() % data.size());
    EXPECT_TRUE(well_formed(engine.scan_buffer("f", data.data(), data.size(), options), 0)) << "round " << round;
  }
}

}  // namespace
