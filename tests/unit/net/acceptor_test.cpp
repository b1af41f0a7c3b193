#include <errno.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "clamd_acceptor.h"
#include "free_port.h"
#include "temp_dir.h"

namespace {

using boost::asio::local::stream_protocol;

template <class Endpoint>
bool accepts(const Endpoint& endpoint) {
  boost::asio::io_context io;
  typename Endpoint::protocol_type::socket client(io);
  boost::system::error_code ec;
  client.connect(endpoint, ec);
  return !ec;
}

}  // namespace

TEST(Acceptor, CloseRemovesOnlyTheSocketFileItCreated) {
  temp_dir_t dir;
  const std::string path = dir.path() + "/clamd.sock";
  boost::asio::io_context io;

  // A later instance took the path over (unlinked ours, bound its own):
  // closing the earlier one must leave the newer socket reachable; closing
  // that one removes the file. Closing twice is harmless.
  cl_clamd_local_acceptor_t earlier(io, stream_protocol::endpoint(path));
  earlier.open();
  cl_clamd_local_acceptor_t later(io, stream_protocol::endpoint(path));
  later.open();
  earlier.close();
  EXPECT_TRUE(accepts(stream_protocol::endpoint(path)));
  later.close();
  EXPECT_FALSE(later.is_open());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path)));
  later.close();
}

TEST(Acceptor, IPv4AndIPv6WildcardsShareAPort) {
  boost::asio::io_context io;
  const unsigned short port = free_port();
  cl_clamd_tcp_acceptor_t v4(io, {boost::asio::ip::address_v4::any(), port});
  v4.open();
  cl_clamd_tcp_acceptor_t v6(io, {boost::asio::ip::address_v6::any(), port});
  try {
    v6.open();
  } catch (const boost::system::system_error& e) {
    if (e.code().value() == EAFNOSUPPORT || e.code().value() == EADDRNOTAVAIL)
      GTEST_SKIP() << "no IPv6 here: " << e.what();
    FAIL() << e.what();
  }
  EXPECT_EQ("[::]:" + std::to_string(port) + "(IPv6)", v6.description());
  EXPECT_TRUE(accepts(boost::asio::ip::tcp::endpoint(boost::asio::ip::address_v4::loopback(), port)));
}
