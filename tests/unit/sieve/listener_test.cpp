#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/system/system_error.hpp>
#include <gtest/gtest.h>

#include "captured_log.h"
#include "sv_listener.h"
#include "temp_dir.h"

namespace {

typedef boost::asio::local::stream_protocol local_t;

// What the listener needs around it, and a private directory for sockets.
struct listener_fixture_t : ::testing::Test {
  void SetUp() override { cflog::install(std::make_shared<captured_log_t>()); }

  temp_dir_t dir;
  boost::asio::io_context io;
  eng_engine_t engine;
  boost::asio::thread_pool pool{1};
  sv_shared_t shared{engine, pool, sv_threat_table_t()};

  std::shared_ptr<sv_listener_t> listener(const std::string& path) {
    return std::make_shared<sv_listener_t>(io, path, shared);
  }
  // The error a listener's start throws, or success.
  boost::system::error_code start_error(const std::string& path) {
    try {
      listener(path)->start();
    } catch (const boost::system::system_error& e) {
      return e.code();
    }
    return {};
  }
};

typedef listener_fixture_t SieveListener;

bool connects(const std::string& path) {
  boost::asio::io_context io;
  local_t::socket s(io);
  boost::system::error_code ec;
  s.connect(local_t::endpoint(path), ec);
  return !ec;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

TEST_F(SieveListener, TheSocketFileIsOursOnlyAndGoesWithTheListener) {
  const std::string path = dir.path() + "/sieve.sock";
  auto l = listener(path);
  l->start();
  EXPECT_TRUE(S_ISSOCK(mode_of(path)));
  EXPECT_EQ(mode_of(path) & 07777, 0600u);
  EXPECT_TRUE(connects(path));
  l->stop();
  l->stop();
  EXPECT_EQ(mode_of(path), 0u);
}

TEST_F(SieveListener, OnlyAStaleSocketIsReplaced) {
  // A socket file nobody listens on, as a killed instance leaves it.
  const std::string stale = dir.path() + "/stale.sock";
  {
    local_t::acceptor a(io);
    a.open();
    a.bind(local_t::endpoint(stale));
  }
  ASSERT_TRUE(S_ISSOCK(mode_of(stale)));
  auto l = listener(stale);
  l->start();
  EXPECT_TRUE(connects(stale));

  // A live one belongs to another instance, and it keeps serving.
  EXPECT_EQ(start_error(stale), boost::system::errc::address_in_use);
  EXPECT_TRUE(connects(stale));

  const std::string file = dir.write("file", "keep me");
  EXPECT_EQ(start_error(file), boost::system::errc::file_exists);
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");

  EXPECT_EQ(start_error(dir.path() + "/" + std::string(sizeof(sockaddr_un::sun_path), 's')),
            boost::system::errc::filename_too_long);
  l->stop();
}

}  // namespace
