#pragma once

#include <sys/types.h>

#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>

// How a listening socket of one protocol is opened, named and cleaned up.
// Each step of open throws cf_system_error_t with the step's name as prefix.
template <class Protocol>
class cl_acceptor_traits_t;

template <>
class cl_acceptor_traits_t<boost::asio::ip::tcp> {
public:
  typedef boost::asio::ip::tcp::endpoint endpoint_type;

  // open, set_option (SO_REUSEADDR; IPV6_V6ONLY for IPv6), bind, listen.
  void open(boost::asio::ip::tcp::acceptor& acceptor, const endpoint_type& endpoint);
  // Called after the acceptor was closed; nothing to clean up.
  void closed(const endpoint_type&) {}

  // "127.0.0.1:3310", "[::1]:3310".
  static std::string name(const endpoint_type& endpoint);
  // The name followed by "(IPv4)" or "(IPv6)".
  static std::string description(const endpoint_type& endpoint);
};

template <>
class cl_acceptor_traits_t<boost::asio::local::stream_protocol> {
public:
  typedef boost::asio::local::stream_protocol::endpoint endpoint_type;

  // Replaces a stale socket file, then open, bind, listen and chmod 0666.
  void open(boost::asio::local::stream_protocol::acceptor& acceptor, const endpoint_type& endpoint);
  // Removes the socket file, unless it is no longer the one we bound.
  void closed(const endpoint_type& endpoint);

  // The path.
  static std::string name(const endpoint_type& endpoint);
  // The path followed by " (local)".
  static std::string description(const endpoint_type& endpoint);

private:
  // Identity of the socket file we created; bound_ is false until then.
  bool bound_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};
