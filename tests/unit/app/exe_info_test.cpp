#include <errno.h>

#include <fstream>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "exe_info.h"
#include "proto_exception.h"

namespace {

std::string hex(const std::string& raw) {
  static const char digits[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : raw) {
    s += digits[c >> 4];
    s += digits[c & 15];
  }
  return s;
}

}  // namespace

TEST(ExeInfo, Md5OfFilesAndFailures) {
  const auto dir = boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("vemra-md5-%%%%%%");
  boost::filesystem::create_directories(dir);
  const auto empty = (dir / "empty").string();
  const auto text = (dir / "text").string();
  std::ofstream(empty).close();
  {
    // Larger than one read chunk, so the digest spans several reads.
    std::ofstream out(text);
    for (int i = 0; i < 1000; ++i) out << "0123456789abcdef";
  }
  EXPECT_EQ("d41d8cd98f00b204e9800998ecf8427e", hex(exe_md5(empty)));
  EXPECT_EQ(32u, hex(exe_md5(text)).size());
  EXPECT_NE(exe_md5(empty), exe_md5(text));

  const auto missing = (dir / "missing").string();
  try {
    exe_md5(missing);
    FAIL() << "no exception";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(vx::EC_NO_SUCH_ENTRY, e.code());
    EXPECT_EQ("MD5: open: No such file or directory [system:2]: " + missing, std::string(e.what()));
  }
  boost::filesystem::remove_all(dir);
}

TEST(ExeInfo, CollectionFailuresThrow) {
  char* no_args[] = {nullptr};
  EXPECT_THROW(collect_exe_info("1.0.0.0000000000", 0, no_args), std::runtime_error);
  char dir[] = "/";
  char* args[] = {dir, nullptr};
  EXPECT_THROW(collect_exe_info("1.0.0.0000000000", 1, args), std::exception);  // not a regular file
}
