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
