#include <errno.h>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "client_sockets.h"
#include "clamd_acceptor.h"
#include "clamd_server.h"

namespace {

struct temp_dir_t {
  temp_dir_t() : path(boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("vemra-net-%%%%%%")) {
    boost::filesystem::create_directories(path);
  }
  ~temp_dir_t() { boost::filesystem::remove_all(path); }
  boost::filesystem::path path;
};

using boost::asio::ip::make_address;
using boost::asio::local::stream_protocol;

}  // namespace

TEST(Acceptor, CloseRemovesOnlyTheSocketFileItCreated) {
  temp_dir_t dir;
  const std::string path = (dir.path / "clamd.sock").string();
  boost::asio::io_context io;

  cl_clamd_local_acceptor_t first(io, stream_protocol::endpoint(path));
  first.open();
  EXPECT_TRUE(first.is_open());
  first.close();
  EXPECT_FALSE(first.is_open());
  EXPECT_FALSE(exists(path));
  first.close();

  // A later instance took the path over (unlinked ours, bound its own):
  // closing the earlier one must leave the newer socket reachable.
  cl_clamd_local_acceptor_t earlier(io, stream_protocol::endpoint(path));
  earlier.open();
  cl_clamd_local_acceptor_t later(io, stream_protocol::endpoint(path));
  later.open();
  earlier.close();
  EXPECT_TRUE(exists(path));
  EXPECT_TRUE(connect_local(path).is_open());
  later.close();
  EXPECT_FALSE(exists(path));
}

TEST(Acceptor, IPv4AndIPv6WildcardsShareAPort) {
  boost::asio::io_context io;
  const unsigned short port = free_port();
  cl_clamd_tcp_acceptor_t v4(io, {make_address("0.0.0.0"), port});
  v4.open();
  cl_clamd_tcp_acceptor_t v6(io, {make_address("::"), port});
  try {
    v6.open();
  } catch (const boost::system::system_error& e) {
    if (e.code().value() == EAFNOSUPPORT || e.code().value() == EADDRNOTAVAIL)
      GTEST_SKIP() << "no IPv6 here: " << e.what();
    FAIL() << e.what();
  }
  EXPECT_EQ("[::]:" + std::to_string(port) + "(IPv6)", v6.description());
  EXPECT_TRUE(connect_tcp(port).is_open());
}

TEST(Server, AcceptErrorsRetryOnlyWhatCanRecover) {
  using retry_t = cl_clamd_server_t::retry_t;
  const auto sys = [](int e) { return boost::system::error_code(e, boost::system::system_category()); };
  EXPECT_EQ(retry_t::later, cl_clamd_server_t::retry_of(sys(EMFILE)));
  EXPECT_EQ(retry_t::later, cl_clamd_server_t::retry_of(sys(ENFILE)));
  EXPECT_EQ(retry_t::later, cl_clamd_server_t::retry_of(sys(ENOBUFS)));
  EXPECT_EQ(retry_t::now, cl_clamd_server_t::retry_of(sys(ECONNABORTED)));
  EXPECT_EQ(retry_t::now, cl_clamd_server_t::retry_of(sys(EPROTO)));
  EXPECT_EQ(retry_t::never, cl_clamd_server_t::retry_of(sys(EBADF)));
  EXPECT_EQ(retry_t::never, cl_clamd_server_t::retry_of(sys(EINVAL)));
}
