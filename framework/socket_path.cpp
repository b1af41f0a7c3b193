#include "socket_path.h"

#include <limits.h>
#include <stdlib.h>

#include <boost/asio/ip/address.hpp>
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
  auto parsed = boost::asio::ip::make_address(address, ec);
  if (ec) return address;
  if (parsed.is_v6() && parsed.to_v6().is_v4_mapped())
    parsed = boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, parsed.to_v6());
  return parsed.to_string();
}
