#include <gtest/gtest.h>

#include "exe_info.h"
#include "proto_exception.h"
#include "temp_dir.h"
#include "thrown.h"

TEST(ExeInfo, FailuresSayWhatAndWhere) {
  temp_dir_t dir;
  const std::string missing = dir.path() + "/missing";
  try {
    exe_md5(missing);
    FAIL() << "no exception";
  } catch (const cf_proto_exception_t& e) {
    EXPECT_EQ(vx::EC_NO_SUCH_ENTRY, e.code());
    EXPECT_EQ("MD5: open: No such file or directory [system:2]: " + missing, std::string(e.what()));
  }
  std::string path = dir.path();
  char* argv[] = {&path[0], nullptr};
  EXPECT_EQ("Unknown exe path", thrown([&] { collect_exe_info("1.0.0.0000000000", 0, argv + 1); }));
  EXPECT_EQ("stat: Not a regular file [vx.Error:33]", thrown([&] { collect_exe_info("1.0.0.0000000000", 1, argv); }));
}
