// The error vocabulary: the suite's category, exception texts and exit statuses.
#include <errno.h>

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>

#include "exception.h"
#include "exception_mapping.h"
#include "proto_error_category.h"
#include "proto_exception.h"
#include "strict_int.h"

namespace {

boost::system::error_code sys(int e) { return boost::system::error_code(e, boost::system::system_category()); }

}  // namespace

// A number outside the enumeration still reads as something; the text of
// a known one is the IPC link tests'.
TEST(ErrorCategory, NumbersOutsideTheEnumeration) {
  EXPECT_EQ("vx.Error 200", vx::proto_error_category().message(200));
  EXPECT_EQ("vx.Error -3", vx::proto_error_category().message(-3));
}

TEST(StrictInt, AcceptsOnlySignAndDigitsInRange) {
  EXPECT_EQ(7, cf_strict_int("+7"));
  EXPECT_EQ(-1, cf_strict_int("-1"));
  EXPECT_EQ(INT32_MIN, cf_strict_int("-2147483648"));
  EXPECT_EQ(INT32_MAX, cf_strict_int("2147483647"));
  for (const char* bad : {"", "5x", " 5", "5 ", "12345678901", "2147483648", "+", "-", "0x10", "1.0"})
    EXPECT_THROW(cf_strict_int(bad), boost::bad_lexical_cast) << '"' << bad << '"';
}

TEST(ExitStatus, OfErrorCodes) {
  const struct {
    boost::system::error_code ec;
    vx::ErrorCode status;
  } rows[] = {
      {{}, vx::EC_OK},
      {sys(ENOENT), vx::EC_NO_SUCH_ENTRY},
      // The generic category compares the same way.
      {boost::system::error_code(ENOENT, boost::system::generic_category()), vx::EC_NO_SUCH_ENTRY},
      {sys(ECONNRESET), vx::EC_UNEXPECTED_ERROR},
      // Suite codes are their own status; a number outside the enumeration
      // is not, and must not be mistaken for the errno of the same value.
      {vx::make_error_code(vx::EC_BAD_CONFIG), vx::EC_BAD_CONFIG},
      {boost::system::error_code(200, vx::proto_error_category()), vx::EC_UNEXPECTED_ERROR},
  };
  for (const auto& row : rows) EXPECT_EQ(row.status, exit_status_of(row.ec)) << row.ec;
}

TEST(ExitStatus, OfExceptions) {
  EXPECT_EQ(sys(EADDRINUSE), exception_error_code(boost::system::system_error(sys(EADDRINUSE), "listen")));
  EXPECT_EQ(sys(ENOENT), exception_error_code(boost::filesystem::filesystem_error("x", "/p", sys(ENOENT))));
  EXPECT_EQ(vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE),
            exception_error_code(cf_proto_exception_t(vx::EC_NOT_A_REGULAR_FILE, "x")));
  EXPECT_EQ(sys(EROFS), exception_error_code(cf_exception_t(sys(EROFS), "x")));
  EXPECT_EQ(vx::make_error_code(vx::EC_NO_MEMORY), exception_error_code(std::bad_alloc()));
  EXPECT_EQ(vx::make_error_code(vx::EC_UNEXPECTED_ERROR), exception_error_code(std::runtime_error("x")));
}

TEST(ExceptionText, QualifiersAndSpecialCases) {
  const struct {
    const char* what;
    const char* text;
  } rows[] = {
      {"boost::bad_any_cast: failed conversion", "bad_any_cast: failed conversion"},
      {"boost::thread_resource_error", "thread_resource_error"},
      {"boost::filesystem::construct: x", "construct: x"},
      {"boost::filesystem::directory_iterator::construct: No such file", "opendir: No such file"},
      {"listen: Address already in use", "listen: Address already in use"},
      {"not boost::x::y", "not boost::x::y"},
  };
  for (const auto& row : rows) EXPECT_STREQ(row.text, exception_text(std::runtime_error(row.what)));
  EXPECT_STREQ("Not enough memory", exception_text(std::bad_alloc()));

  // The real library's text for a directory that cannot be listed.
  try {
    boost::filesystem::directory_iterator it("/nonexistent-vemra-dir");
    FAIL() << "listing a missing directory succeeded";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(0, std::string(exception_text(e)).rfind("opendir: No such file or directory", 0)) << e.what();
  }
}
