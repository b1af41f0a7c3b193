#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "wd_ini_file.h"

namespace {

std::vector<std::string> issue_texts(const std::string& text) {
  try {
    wd_ini_file_t::parse(text, "f.conf");
  } catch (const wd_config_error_t& e) {
    std::vector<std::string> out;
    for (const auto& issue : e.issues()) out.push_back(issue.text());
    return out;
  }
  return {};
}

TEST(IniFile, SectionsEntriesAndLines) {
  const auto file = wd_ini_file_t::parse(
      "# comment\r\n"
      "; another\n"
      "\n"
      "  [ClamD]   # trailing comment\n"
      "LogLevel=Notice\n"
      "  Log =   /var/log/a#b.log  \r\n"
      "Empty =\n"
      "[ClamD.Endpoint.tcp-1]\n"
      "ClamdSocket = 127.0.0.1:3310",
      "f.conf");
  ASSERT_EQ(file.sections().size(), 2u);
  const auto& clamd = file.sections()[0];
  EXPECT_EQ(clamd.name, "ClamD");
  EXPECT_EQ(clamd.line, 4u);
  ASSERT_EQ(clamd.entries.size(), 3u);
  EXPECT_EQ(clamd.entries[0].key, "LogLevel");
  EXPECT_EQ(clamd.entries[0].value, "Notice");
  EXPECT_EQ(clamd.entries[0].line, 5u);
  // A '#' inside a value belongs to it: paths may hold one.
  EXPECT_EQ(clamd.entries[1].value, "/var/log/a#b.log");
  EXPECT_EQ(clamd.entries[2].value, "");
  const auto& endpoint = file.sections()[1];
  EXPECT_EQ(endpoint.name, "ClamD.Endpoint.tcp-1");
  ASSERT_EQ(endpoint.entries.size(), 1u);
  EXPECT_EQ(endpoint.entries[0].line, 9u);
}

TEST(IniFile, EveryMalformedLineIsReportedWithItsNumber) {
  const std::string text =
      "Orphan = 1\n"               // 1
      "[ClamD\n"                   // 2
      "[ClamD] junk\n"             // 3
      "[Clam D]\n"                 // 4
      "Hidden = 1\n"               // 5: under a bad header, not reported twice
      "[Warden]\n"                 // 6
      "just words\n"               // 7
      "Bad Key = 1\n"              // 8
      "= 1\n"                      // 9
      "[a..b]\n"                   // 10
      "[Warden]\n"                 // 11
      "Path = /x\x01y\n"           // 12
      + std::string("Nul = /a\0b\n", 11);  // 13
  EXPECT_EQ(issue_texts(text), (std::vector<std::string>{
                                   "f.conf:1: Orphan: key outside any section",
                                   "f.conf:2: missing ']' after section name",
                                   "f.conf:3: unexpected text after section name: 'junk'",
                                   "f.conf:4: bad section name '[Clam D]' (letters, digits, '_', '-', separated by dots)",
                                   "f.conf:7: expected 'Key = Value' or '[Section]', got 'just words'",
                                   "f.conf:8: bad key 'Bad Key' (letters, digits, '_', '-')",
                                   "f.conf:9: bad key '' (letters, digits, '_', '-')",
                                   "f.conf:10: bad section name '[a..b]' (letters, digits, '_', '-', separated by dots)",
                                   "f.conf:12: control character in line",
                                   "f.conf:13: control character in line",
                               }));
}

TEST(IniFile, LoadRefusesWhatIsNotAReadableSmallFile) {
  char dir[] = "/tmp/wd-ini-XXXXXX";
  ASSERT_TRUE(mkdtemp(dir));
  const std::string missing = std::string(dir) + "/missing.conf";
  try {
    wd_ini_file_t::load(missing);
    FAIL() << "a missing file was read";
  } catch (const wd_config_error_t& e) {
    EXPECT_EQ(std::string(e.what()), missing + ": cannot open: No such file or directory");
  }
  EXPECT_THROW(wd_ini_file_t::load(dir), wd_config_error_t);

  const std::string open_file = std::string(dir) + "/open.conf";
  close(open(open_file.c_str(), O_WRONLY | O_CREAT, 0600));
  EXPECT_NO_THROW(wd_ini_file_t::load(open_file));
  chmod(open_file.c_str(), 0666);
  try {
    wd_ini_file_t::load(open_file);
    FAIL() << "a file anyone may change was read";
  } catch (const wd_config_error_t& e) {
    EXPECT_NE(std::string(e.what()).find("must not be writable by others"), std::string::npos) << e.what();
  }
  unlink(open_file.c_str());

  const std::string big = std::string(dir) + "/big.conf";
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  const std::string line = "# " + std::string(1000, 'x') + "\n";
  std::size_t written = 0;
  while (written <= wd_ini_file_t::max_size) written += static_cast<std::size_t>(write(fd, line.data(), line.size()));
  close(fd);
  try {
    wd_ini_file_t::load(big);
    FAIL() << "an oversized file was read";
  } catch (const wd_config_error_t& e) {
    EXPECT_NE(std::string(e.what()).find("larger than"), std::string::npos) << e.what();
  }
  unlink(big.c_str());
  rmdir(dir);
}

}  // namespace
