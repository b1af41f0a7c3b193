#include "acceptor_traits.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/socket_base.hpp>

#include "system_error.h"

namespace {

void check(const boost::system::error_code& ec, const char* step) {
  if (ec) throw cf_system_error_t(ec, step);
}

}  // namespace

void cl_acceptor_traits_t<boost::asio::ip::tcp>::open(boost::asio::ip::tcp::acceptor& acceptor,
                                                      const endpoint_type& endpoint) {
  boost::system::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  check(ec, "open");
  acceptor.set_option(boost::asio::socket_base::reuse_address(true), ec);
  check(ec, "set_option");
  // Linux lets an IPv6 wildcard take the IPv4 port as well, which would make
  // "0.0.0.0:p" and "[::]:p" side by side clash; each endpoint listens on its
  // own family only.
  if (endpoint.address().is_v6()) {
    acceptor.set_option(boost::asio::ip::v6_only(true), ec);
    check(ec, "set_option");
  }
  acceptor.bind(endpoint, ec);
  check(ec, "bind");
  acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
  check(ec, "listen");
}

std::string cl_acceptor_traits_t<boost::asio::ip::tcp>::name(const endpoint_type& endpoint) {
  std::ostringstream os;
  os << endpoint;
  return os.str();
}

std::string cl_acceptor_traits_t<boost::asio::ip::tcp>::description(const endpoint_type& endpoint) {
  return name(endpoint) + (endpoint.address().is_v4() ? "(IPv4)" : "(IPv6)");
}

void cl_acceptor_traits_t<boost::asio::local::stream_protocol>::open(
    boost::asio::local::stream_protocol::acceptor& acceptor, const endpoint_type& endpoint) {
  const std::string path = endpoint.path();
  // A socket file left by an earlier run is replaced. Anything else at the
  // path is not ours to delete: bind then reports the clash.
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());

  boost::system::error_code ec;
  acceptor.open(endpoint.protocol(), ec);
  check(ec, "open");
  acceptor.bind(endpoint, ec);
  check(ec, "bind");
  if (::lstat(path.c_str(), &st) == 0) {
    bound_ = true;
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  try {
    acceptor.listen(boost::asio::socket_base::max_listen_connections, ec);
    check(ec, "listen");
    // Clients run as any user; the umask must not lock them out.
    if (::chmod(path.c_str(), 0666) != 0)
      throw cf_errno_error("chmod");
  } catch (...) {
    acceptor.close(ec);
    closed(endpoint);
    throw;
  }
}

void cl_acceptor_traits_t<boost::asio::local::stream_protocol>::closed(const endpoint_type& endpoint) {
  if (!bound_) return;
  bound_ = false;
  // Another process may have replaced the file since (a newer instance
  // starting while this one exits); its socket must stay reachable.
  const std::string path = endpoint.path();
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) ::unlink(path.c_str());
}

std::string cl_acceptor_traits_t<boost::asio::local::stream_protocol>::name(const endpoint_type& endpoint) {
  return endpoint.path();
}

std::string cl_acceptor_traits_t<boost::asio::local::stream_protocol>::description(const endpoint_type& endpoint) {
  return endpoint.path() + " (local)";
}
