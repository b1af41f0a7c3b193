#include "socket_path.h"

#include <limits.h>
#include <stdlib.h>

#include <boost/filesystem/path.hpp>

std::string cf_socket_path_identity(const std::string& path) {
  const boost::filesystem::path given(path);
  const boost::filesystem::path dir = given.parent_path(), name = given.filename();
  char resolved[PATH_MAX];
  if (::realpath(dir.empty() ? "." : dir.c_str(), resolved)) return (boost::filesystem::path(resolved) / name).string();
  return given.lexically_normal().string();
}

std::string cf_ip_address_identity(const std::string& address) {
  boost::system::error_code ec;
  const auto parsed = boost::asio::ip::make_address(address, ec);
  return ec ? address : cf_ip_address_identity(parsed);
}

std::string cf_ip_address_identity(boost::asio::ip::address address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped())
    address = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6());
  return address.to_string();
}
