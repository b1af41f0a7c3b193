#include <random>

#include <gtest/gtest.h>

#include "eng_engine.h"
#include "fixtures.h"

namespace {

using fixture::archive;
using fixture::compressed;
using fixture::eicar;

const char eicar_hit[] = "virus { type: SE_KNOWN_VIRUS name: \"EICAR-Test-File\" }";

vx::ScanReport scan(const eng_engine_t& engine, const std::string& name, const std::string& data,
                    eng_options_t options = eng_options_t()) {
  return engine.scan_buffer(name, data.data(), data.size(), options);
}

eng_options_t listing() {
  eng_options_t options;
  options.list_clean_items = true;
  return options;
}

TEST(EngineArchives, MembersBecomeItemsOfTheirContainer) {
  eng_engine_t engine;
  const std::string zip = archive("zip", {{"readme.txt", "harmless"}, {"dir/eicar.com", eicar()}});
  EXPECT_TREE(scan(engine, "a.zip", zip, listing()),
              std::string("object: \"a.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                          " item { object: \"readme.txt\" }"
                          " item { object: \"dir/eicar.com\" ") + eicar_hit + " }");
  // By default clean members are left out; the sizes are those of the data.
  const auto report = scan(engine, "a.zip", zip);
  EXPECT_TREE(report, std::string("object: \"a.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                                  " item { object: \"dir/eicar.com\" ") + eicar_hit + " }");
  EXPECT_EQ(report.size(), zip.size());
  ASSERT_EQ(report.item_size(), 1);
  EXPECT_EQ(report.item(0).size(), eicar().size());
}

TEST(EngineArchives, NestedContainersAreFollowed) {
  eng_engine_t engine;
  const std::string tgz = archive("tar", {{"inner/eicar.com", eicar()}, {"note", "clean"}}, "gzip");
  const std::string zip = archive("zip", {{"bundle.tar.gz", tgz}, {"other.txt", "clean"}});
  EXPECT_TREE(scan(engine, "outer.zip", zip),
              std::string("object: \"outer.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                          " item { object: \"bundle.tar.gz\" archive { type: SE_ARCHIVE name: \"tar.gz\" }"
                          "   item { object: \"inner/eicar.com\" ") + eicar_hit + " } }");

  // Each format and filter libarchive reads here, named like an extension;
  // a lone compressed stream is a container of one member.
  struct row_t {
    std::string data;
    const char* tree;
  };
  // A stream that stores no name of its own is named after the container.
  const row_t rows[] = {
      {archive("7z", {{"m", eicar()}}), "archive { type: SE_ARCHIVE name: \"7z\" } item { object: \"m\" "},
      {archive("tar", {{"m", eicar()}}, "bzip2"), "archive { type: SE_ARCHIVE name: \"tar.bz2\" } item { object: \"m\" "},
      {archive("cpio", {{"m", eicar()}}, "xz"), "archive { type: SE_ARCHIVE name: \"cpio.xz\" } item { object: \"m\" "},
      {compressed("gzip", "m", eicar()), "archive { type: SE_CONTAINER name: \"gz\" } item { object: \"x\" "},
      {compressed("bzip2", "m", eicar()), "archive { type: SE_CONTAINER name: \"bz2\" } item { object: \"x\" "},
      {compressed("zstd", "m", eicar()), "archive { type: SE_CONTAINER name: \"zst\" } item { object: \"x\" "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.tree);
    EXPECT_TREE(scan(engine, "dir/x.bin", row.data),
                std::string("object: \"dir/x.bin\" ") + row.tree + eicar_hit + " }");
  }
}

TEST(EngineArchives, NestingLevelsAreHonoured) {
  eng_engine_t engine;
  const std::string level3 = archive("zip", {{"eicar.com", eicar()}});
  const std::string level2 = archive("zip", {{"3.zip", level3}});
  const std::string level1 = archive("zip", {{"2.zip", level2}});
  eng_options_t options;

  options.archive_max_level = 3;
  EXPECT_EQ(scan(engine, "1.zip", level1, options).item(0).item(0).item(0).virus(0).name(), "EICAR-Test-File");

  // One level short: the innermost archive is named but not opened.
  options.archive_max_level = 2;
  EXPECT_TREE(scan(engine, "1.zip", level1, options),
              "object: \"1.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
              " item { object: \"2.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
              "   item { object: \"3.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
              "     error: SE_ARCHIVE_LEVEL_LIMIT } }");

  // 0 leaves archives closed by choice: no error, no items.
  options.archive_max_level = 0;
  EXPECT_TREE(scan(engine, "1.zip", level1, options), "object: \"1.zip\"");

  // Compressed streams count on their own level, one per stacked filter,
  // and the engine's nesting bound caps whatever the request asks.
  const std::string gz2 = compressed("gzip", "x", compressed("gzip", "x", eicar()));
  options = eng_options_t();
  options.archive_max_level = 0;
  options.container_max_level = 2;
  EXPECT_TREE(scan(engine, "x.gz.gz", gz2, options),
              std::string("object: \"x.gz.gz\" archive { type: SE_CONTAINER name: \"gz.gz\" }"
                          " item { object: \"x.gz\" ") + eicar_hit + " }");
  options.container_max_level = 1;
  EXPECT_TREE(scan(engine, "x.gz.gz", gz2, options),
              "object: \"x.gz.gz\" archive { type: SE_CONTAINER name: \"gz.gz\" } error: SE_CONTAINER_LEVEL_LIMIT");
  options.container_max_level = 0;
  EXPECT_TREE(scan(engine, "x.gz.gz", gz2, options), "object: \"x.gz.gz\"");
  eng_limits_t limits;
  limits.max_nesting = 1;
  eng_engine_t capped(limits);
  options.container_max_level = 100;
  EXPECT_EQ(scan(capped, "x.gz.gz", gz2, options).error(), vx::SE_CONTAINER_LEVEL_LIMIT);
}

TEST(EngineArchives, EncryptedMembersArePasswordProtected) {
  eng_engine_t engine;
  const std::string zip = archive("zip", {{"secret.com", eicar()}, {"secret.txt", "text"}}, "", "pass");
  EXPECT_TREE(scan(engine, "e.zip", zip),
              "object: \"e.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
              " item { object: \"secret.com\" error: SE_PASSWORD_PROTECTED }"
              " item { object: \"secret.txt\" error: SE_PASSWORD_PROTECTED }");
}

TEST(EngineArchives, DamagedArchivesGetArchiveErrors) {
  eng_engine_t engine;
  const std::string zip = archive("zip", {{"eicar.com", eicar()}, {"big.bin", fixture::noise(300000)}});
  // Cut inside the second member: the first is still found.
  EXPECT_TREE(scan(engine, "cut.zip", zip.substr(0, zip.size() / 2)),
              std::string("object: \"cut.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                          " item { object: \"eicar.com\" ") + eicar_hit + " }"
              " item { object: \"big.bin\" error: SE_ARCH_INCOMPLETE }");

  const std::string tgz = archive("tar", {{"big.bin", fixture::noise(300000)}}, "gzip");
  EXPECT_TREE(scan(engine, "cut.tgz", tgz.substr(0, tgz.size() / 2)),
              "object: \"cut.tgz\" archive { type: SE_ARCHIVE name: \"tar.gz\" }"
              " item { object: \"big.bin\" error: SE_ARCH_INCOMPLETE }");
  // Cut before libarchive learns more than the filter.
  EXPECT_TREE(scan(engine, "cut.gz", tgz.substr(0, 12)),
              "object: \"cut.gz\" archive { type: SE_CONTAINER name: \"gz\" } error: SE_ARCH_INCOMPLETE");

  // A stored member with one byte changed fails its checksum; the members
  // after it are still read.
  const std::string stored =
      archive("zip", {{"a.txt", "some stored text"}, {"eicar.com", eicar()}}, "", "", "zip:compression=store");
  std::string flipped = stored;
  const auto at = flipped.find("stored text");
  ASSERT_NE(at, std::string::npos);
  flipped[at] = 'S';
  EXPECT_TREE(scan(engine, "crc.zip", flipped),
              std::string("object: \"crc.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                          " item { object: \"a.txt\" error: SE_ARCH_CRC_ERROR }"
                          " item { object: \"eicar.com\" ") + eicar_hit + " }");

  // A header that fails its checksum ends the walk; what came before stays.
  std::string tar = archive("tar", {{"eicar.com", eicar()}, {"second", "clean"}});
  ASSERT_GT(tar.size(), 1024u + 512u);
  tar.replace(1024 + 148, 6, "777777");  // second header's checksum
  EXPECT_TREE(scan(engine, "hdr.tar", tar),
              std::string("object: \"hdr.tar\" archive { type: SE_ARCHIVE name: \"tar\" }"
                          " error: SE_ARCH_INVALID_HEADER item { object: \"eicar.com\" ") + eicar_hit + " }");
  // A header that claims more bytes than the archive has.
  std::string header = stored;
  header[26] = '\xff';  // file name length of the first local header
  header[27] = '\x7f';
  EXPECT_TREE(scan(engine, "hdr.zip", header),
              "object: \"hdr.zip\" archive { type: SE_ARCHIVE name: \"zip\" } error: SE_ARCH_INCOMPLETE");
}

TEST(EngineArchives, HighRatioMembersAreNotExpanded) {
  eng_engine_t engine;
  // 16 MiB of zeros deflate to about 16 KiB.
  const std::string bomb = archive("zip", {{"zeros", std::string(16u << 20, '\0')}, {"eicar.com", eicar()}});
  eng_options_t options;
  options.max_compression_ratio = 100;
  // The container is abandoned at the bomb: what follows is not reached.
  EXPECT_TREE(scan(engine, "bomb.zip", bomb, options),
              "object: \"bomb.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
              " item { object: \"zeros\" error: SE_COMPRESSION_LIMIT }");
  options.max_compression_ratio = 0;
  EXPECT_TREE(scan(engine, "bomb.zip", bomb, options),
              std::string("object: \"bomb.zip\" archive { type: SE_ARCHIVE name: \"zip\" }"
                          " item { object: \"eicar.com\" ") + eicar_hit + " }");
  // Small, very compressible members are below the floor of the rule.
  options.max_compression_ratio = 2;
  const std::string small = archive("zip", {{"zeros", std::string(512 * 1024, '\0')}}, "", "", "");
  EXPECT_TREE(scan(engine, "small.zip", small, options),
              "object: \"small.zip\" archive { type: SE_ARCHIVE name: \"zip\" }");
}

TEST(EngineArchives, SizeLimitsStopExtraction) {
  const std::string zip = archive("zip", {{"big", std::string(300000, 'a')}, {"eicar.com", eicar()}});
  const std::string tail = std::string(" item { object: \"eicar.com\" ") + eicar_hit + " }";
  {
    eng_engine_t engine;
    eng_options_t options;
    options.max_size_to_extract = 100000;
    EXPECT_TREE(scan(engine, "z", zip, options),
                "object: \"z\" archive { type: SE_ARCHIVE name: \"zip\" }"
                " item { object: \"big\" error: SE_OBJECT_SIZE_LIMIT }" + tail);
    options = eng_options_t();
    options.max_size_to_scan = zip.size();
    EXPECT_TREE(scan(engine, "z", zip, options),
                "object: \"z\" archive { type: SE_ARCHIVE name: \"zip\" }"
                " item { object: \"big\" error: SE_OBJECT_SIZE_LIMIT }" + tail);
    options.max_size_to_scan = zip.size() - 1;
    EXPECT_TREE(scan(engine, "z", zip, options), "object: \"z\" error: SE_OBJECT_SIZE_LIMIT");
    options = eng_options_t();
    options.min_size_to_scan = 100;
    EXPECT_TREE(scan(engine, "e", eicar(), options), "object: \"e\"");
  }
  {
    // Headers can lie about sizes; the bound holds on the data itself.
    eng_limits_t limits;
    limits.max_expanded_bytes = 100000;
    eng_engine_t engine(limits);
    EXPECT_TREE(scan(engine, "z", zip),
                "object: \"z\" archive { type: SE_ARCHIVE name: \"zip\" }"
                " item { object: \"big\" error: SE_ARCHIVE_SIZE_LIMIT }" + tail);
  }
  {
    eng_limits_t limits;
    limits.max_report_items = 3;
    eng_engine_t engine(limits);
    std::vector<fixture::member_t> many;
    for (int i = 0; i < 10; ++i) many.push_back({"m" + std::to_string(i), "data"});
    const auto report = scan(engine, "many.zip", archive("tar", many), listing());
    EXPECT_EQ(report.item_size(), 3);
    EXPECT_EQ(report.error(), vx::SE_REPORT_SIZE_LIMIT);
  }
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
      compressed("zstd", "x", std::string(3000, 'y')),
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
