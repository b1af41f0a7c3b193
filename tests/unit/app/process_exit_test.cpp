#include <errno.h>

#include <exception>

#include <gtest/gtest.h>

#include <google/protobuf/stubs/logging.h>

#include "process_exit.h"
#include "system_error.h"

TEST(ExitStatusDeathTest, ExitLinesNameTheStatusOrTheCurrentException) {
  EXPECT_EXIT(exit_with_status(300), ::testing::ExitedWithCode(300 & 0xff),
              "^Notice: Exit with status 300 \\(300\\)\n$");  // outside the enumeration
  EXPECT_EXIT(
      {
        std::set_terminate(terminate_handler);
        try {
          throw cf_system_error_t(boost::system::error_code(EACCES, boost::system::system_category()), "open");
        } catch (...) {
          std::terminate();
        }
      },
      ::testing::ExitedWithCode(24), "^Error: open: Permission denied \\[system:13\\]\n$");
  EXPECT_EXIT(
      {
        std::set_terminate(terminate_handler);
        std::terminate();
      },
      ::testing::ExitedWithCode(125), "^Error: Unexpected exception\n$");
}

TEST(ExitStatusDeathTest, ProtobufMessagesReachTheLog) {
  EXPECT_EXIT(
      {
        protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 1,
                             "Reading dangerously large protocol message.  If the message turns out...");
        protobuf_log_handler(google::protobuf::LOGLEVEL_WARNING, "f.cc", 2, "odd field");
        protobuf_log_handler(google::protobuf::LOGLEVEL_FATAL, "f.cc", 3, "broken");
        protobuf_log_handler(google::protobuf::LOGLEVEL_INFO, "f.cc", 4, "fyi");
        exit(0);
      },
      ::testing::ExitedWithCode(0), "^Debug: Flushing log...\nWarning: odd field\nError: broken\nInfo: fyi\n$");
}
