#include <errno.h>

#include <gtest/gtest.h>

#include <boost/system/system_error.hpp>

#include "proto_error_category.h"
#include "strict_int.h"
#include "system_error.h"

TEST(ErrorCategory, MessagesAndTextForm) {
  const auto& category = vx::proto_error_category();
  EXPECT_STREQ("vx.Error", category.name());
  EXPECT_EQ("Invalid IPC message size", category.message(7));
  EXPECT_EQ("Link disconnected", category.message(6));
  EXPECT_EQ("vx.Error 200", category.message(200));
  EXPECT_EQ("vx.Error -3", category.message(-3));

  boost::system::error_code ec = vx::EC_BAD_MESSAGE_SIZE;
  EXPECT_EQ(&category, &ec.category());
  cf_system_error_t error(ec, "async_send_message");
  EXPECT_STREQ("async_send_message: Invalid IPC message size [vx.Error:7]", error.what());
  EXPECT_EQ(ec, error.code());
  cf_system_error_t listen(boost::system::error_code(EADDRINUSE, boost::system::system_category()), "listen");
  EXPECT_STREQ("listen: Address already in use [system:98]", listen.what());
}

TEST(StrictInt, AcceptsOnlySignAndDigitsInRange) {
  EXPECT_EQ(7, cf_strict_int("+7"));
  EXPECT_EQ(-1, cf_strict_int("-1"));
  EXPECT_EQ(INT32_MIN, cf_strict_int("-2147483648"));
  EXPECT_EQ(INT32_MAX, cf_strict_int("2147483647"));
  for (const char* bad : {"", "5x", " 5", "5 ", "12345678901", "2147483648", "+", "-", "0x10", "1.0"})
    EXPECT_THROW(cf_strict_int(bad), boost::bad_lexical_cast) << '"' << bad << '"';
}
