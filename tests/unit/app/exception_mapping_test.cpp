#include <errno.h>
#include <stdlib.h>

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/stubs/logging.h>

#include "exception.h"
#include "exception_mapping.h"
#include "log.h"
#include "process_exit.h"
#include "proto_error_category.h"
#include "proto_exception.h"
#include "system_error.h"

namespace {

boost::system::error_code sys(int e) { return boost::system::error_code(e, boost::system::system_category()); }

}  // namespace

TEST(ExitStatus, SystemAndSuiteCodes) {
  EXPECT_EQ(vx::EC_OK, exit_status_of(boost::system::error_code()));
  EXPECT_EQ(vx::EC_PERMISSION_DENIED, exit_status_of(sys(EACCES)));
  EXPECT_EQ(vx::EC_PERMISSION_DENIED, exit_status_of(sys(EPERM)));
  EXPECT_EQ(vx::EC_NO_SUCH_ENTRY, exit_status_of(sys(ENOENT)));
  EXPECT_EQ(vx::EC_NOT_A_DIRECTORY, exit_status_of(sys(ENOTDIR)));
  EXPECT_EQ(vx::EC_READ_ONLY_FS, exit_status_of(sys(EROFS)));
  EXPECT_EQ(vx::EC_INVALID_ARGUMENT, exit_status_of(sys(EINVAL)));
  EXPECT_EQ(vx::EC_FILE_EXISTS, exit_status_of(sys(EEXIST)));
  EXPECT_EQ(vx::EC_NAME_ALREADY_IN_USE, exit_status_of(sys(EADDRINUSE)));
  EXPECT_EQ(vx::EC_CROSS_DEVICE_LINK, exit_status_of(sys(EXDEV)));
  EXPECT_EQ(vx::EC_NO_MEMORY, exit_status_of(sys(ENOMEM)));
  EXPECT_EQ(vx::EC_UNEXPECTED_ERROR, exit_status_of(sys(ECONNRESET)));
  // The generic category compares the same way.
  EXPECT_EQ(vx::EC_NO_SUCH_ENTRY,
            exit_status_of(boost::system::error_code(ENOENT, boost::system::generic_category())));
  // Suite codes are their own status; a number outside the enumeration is
  // not, and must not be mistaken for the errno of the same value.
  EXPECT_EQ(vx::EC_BAD_CONFIG, exit_status_of(vx::make_error_code(vx::EC_BAD_CONFIG)));
  EXPECT_EQ(vx::EC_MONITOR_IPC_ERROR, exit_status_of(vx::EC_MONITOR_IPC_ERROR));
  EXPECT_EQ(vx::EC_UNEXPECTED_ERROR,
            exit_status_of(boost::system::error_code(200, vx::proto_error_category())));
}

TEST(ExitStatus, ExceptionCodes) {
  EXPECT_EQ(sys(EADDRINUSE), exception_error_code(boost::system::system_error(sys(EADDRINUSE), "listen")));
  EXPECT_EQ(sys(ENOENT), exception_error_code(boost::filesystem::filesystem_error("x", "/p", sys(ENOENT))));
  EXPECT_EQ(vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE),
            exception_error_code(cf_proto_exception_t(vx::EC_NOT_A_REGULAR_FILE, "x")));
  EXPECT_EQ(sys(EROFS), exception_error_code(cf_exception_t(sys(EROFS), "x")));
  EXPECT_EQ(vx::make_error_code(vx::EC_NO_MEMORY), exception_error_code(std::bad_alloc()));
  EXPECT_EQ(vx::make_error_code(vx::EC_UNEXPECTED_ERROR), exception_error_code(std::runtime_error("x")));
}

TEST(ExceptionText, QualifiersAndSpecialCases) {
  EXPECT_STREQ("bad_any_cast: failed conversion using boost::any_cast",
               exception_text(std::runtime_error("boost::bad_any_cast: failed conversion using boost::any_cast")));
  EXPECT_STREQ("thread_resource_error", exception_text(std::runtime_error("boost::thread_resource_error")));
  EXPECT_STREQ("construct: x", exception_text(std::runtime_error("boost::filesystem::construct: x")));
  EXPECT_STREQ("opendir: No such file or directory",
               exception_text(std::runtime_error(
                   "boost::filesystem::directory_iterator::construct: No such file or directory")));
  EXPECT_STREQ("Not enough memory", exception_text(std::bad_alloc()));
  EXPECT_STREQ("listen: Address already in use", exception_text(std::runtime_error("listen: Address already in use")));
  EXPECT_STREQ("not boost::x::y", exception_text(std::runtime_error("not boost::x::y")));

  // The real library's text for a directory that cannot be listed.
  try {
    boost::filesystem::directory_iterator it("/nonexistent-vemra-dir");
    FAIL() << "listing a missing directory succeeded";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_EQ(0, std::string(exception_text(e)).rfind("opendir: No such file or directory", 0)) << e.what();
  }
}

TEST(ExitStatusDeathTest, ExitLineNamesTheStatus) {
  EXPECT_EQ("Invalid configuration", exit_status_text(102));
  EXPECT_EQ("Success", exit_status_text(0));
  EXPECT_EQ("300", exit_status_text(300));
  EXPECT_EXIT(exit_with_status(300), ::testing::ExitedWithCode(300 & 0xff), "^Notice: Exit with status 300 \\(300\\)\n$");
  EXPECT_EXIT(exit_with_status(107), ::testing::ExitedWithCode(107),
              "Notice: Exit with status 107 \\(Process terminated by signal\\)\n$");
}

TEST(ExitStatusDeathTest, TerminateHandlerMapsTheCurrentException) {
  EXPECT_EXIT(
      {
        std::set_terminate(terminate_handler);
        try {
          throw cf_system_error_t(sys(EACCES), "open");
        } catch (...) {
          std::terminate();
        }
      },
      ::testing::ExitedWithCode(24), "Error: open: Permission denied \\[system:13\\]");
  EXPECT_EXIT(
      {
        std::set_terminate(terminate_handler);
        std::terminate();
      },
      ::testing::ExitedWithCode(125), "Error: Unexpected exception");
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
