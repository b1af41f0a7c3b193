#pragma once

// Blocking client sockets on their own event loop, for tests of the
// listening side.
#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>

typedef boost::asio::local::stream_protocol::socket local_client_t;
typedef boost::asio::ip::tcp::socket tcp_client_t;

inline boost::asio::io_context& client_io() {
  static boost::asio::io_context io;
  return io;
}

inline boost::asio::ip::tcp::endpoint loopback(unsigned short port) {
  return {boost::asio::ip::address_v4::loopback(), port};
}

// A connected socket, or a closed one when the connection was refused.
template <class Endpoint>
typename Endpoint::protocol_type::socket connect_to(const Endpoint& endpoint) {
  typename Endpoint::protocol_type::socket s(client_io());
  boost::system::error_code ec;
  s.connect(endpoint, ec);
  if (ec) s.close(ec);
  return s;
}
inline local_client_t connect_local(const std::string& path) {
  return connect_to(boost::asio::local::stream_protocol::endpoint(path));
}
inline tcp_client_t connect_tcp(unsigned short port) { return connect_to(loopback(port)); }

// A port that was free a moment ago.
inline unsigned short free_port() {
  return boost::asio::ip::tcp::acceptor(client_io(), loopback(0)).local_endpoint().port();
}

// True while the other end has neither closed nor reset the connection.
template <class Socket>
bool is_connected(Socket& s) {
  char c;
  const ssize_t n = ::recv(s.native_handle(), &c, 1, MSG_DONTWAIT | MSG_PEEK);
  return n > 0 || (n < 0 && errno == EAGAIN);
}

inline struct stat stat_of(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st;
}

inline bool exists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}
