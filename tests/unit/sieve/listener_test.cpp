#include <sys/stat.h>
#include <sys/un.h>

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

TEST(SieveListener, OnlyAStaleSocketFileIsReplaced) {
  cflog::install(std::make_shared<captured_log_t>());
  temp_dir_t dir;
  boost::asio::io_context io;
  eng_engine_t engine;
  boost::asio::thread_pool pool(1);
  sv_shared_t shared{engine, pool, sv_threat_table_t()};
  const auto start_error = [&](const std::string& path) {
    try {
      std::make_shared<sv_listener_t>(io, path, shared)->start();
    } catch (const boost::system::system_error& e) {
      return e.code();
    }
    return boost::system::error_code();
  };

  // A socket file nobody listens on, as a killed instance leaves it.
  const std::string path = dir.path() + "/sieve.sock";
  {
    local_t::acceptor stale(io);
    stale.open();
    stale.bind(local_t::endpoint(path));
  }
  auto listener = std::make_shared<sv_listener_t>(io, path, shared);
  listener->start();
  EXPECT_TRUE(connects(path));
  EXPECT_EQ(mode_of(path) & 07777, 0600u);

  // A live one belongs to another instance, which keeps serving.
  EXPECT_EQ(start_error(path), boost::system::errc::address_in_use);
  EXPECT_TRUE(connects(path));
  // Nor is anything else at the path ours to delete.
  const std::string file = dir.write("file", "keep me");
  EXPECT_EQ(start_error(file), boost::system::errc::file_exists);
  std::ifstream in(file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
  EXPECT_EQ(start_error(dir.path() + "/" + std::string(sizeof(sockaddr_un::sun_path), 's')),
            boost::system::errc::filename_too_long);

  listener->stop();
  listener->stop();
  EXPECT_EQ(mode_of(path), 0u);
}

}  // namespace
