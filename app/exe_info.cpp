#include "exe_info.h"

#include <errno.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <google/protobuf/util/json_util.h>
#include <openssl/evp.h>

#include "exception_mapping.h"
#include "proto_error_category.h"
#include "proto_exception.h"
#include "system_error.h"

namespace {

std::string md5_of_file(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw cf_errno_error("open");
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* p) { ::close(*p); });
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  if (!ctx || !EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr)) throw std::runtime_error("MD5 is not available");
  std::vector<unsigned char> chunk(8192);
  for (;;) {
    ssize_t n = ::read(fd, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw cf_errno_error("read");
    if (n == 0) break;
    EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<size_t>(n));
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx.get(), digest, &length);
  return std::string(reinterpret_cast<const char*>(digest), length);
}

std::string owner_name(uid_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size == -1 ? 16384 : static_cast<size_t>(size));
  passwd entry;
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
  return std::to_string(uid);
}

}  // namespace

std::string exe_md5(const std::string& path) {
  try {
    return md5_of_file(path);
  } catch (const std::exception& e) {
    throw cf_proto_exception_t(exit_status_of(exception_error_code(e)),
                               std::string("MD5: ") + exception_text(e) + ": " + path);
  }
}

vx::AppExeInfo collect_exe_info(const std::string& version, int argc, char** argv) {
  if (argc < 1 || !argv[0]) throw std::runtime_error("Unknown exe path");
  const std::string path = boost::filesystem::canonical(argv[0]).string();
  struct stat st;
  if (::stat(path.c_str(), &st) != 0)
    throw boost::filesystem::filesystem_error(
        "stat", path, boost::system::error_code(errno, boost::system::system_category()));
  if (!S_ISREG(st.st_mode)) throw cf_system_error_t(vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE), "stat");
  vx::AppExeInfo info;
  info.set_version(version);
  info.set_install_time(static_cast<uint64_t>(st.st_ctime));
  info.set_modification_time(static_cast<uint64_t>(st.st_mtime));
  info.set_exe_size(static_cast<uint64_t>(st.st_size));
  info.set_exe_md5(exe_md5(path));
  info.set_exe_owner(owner_name(st.st_uid));
  return info;
}

void print_json(std::ostream& out, const google::protobuf::Message& message) {
  std::string json;
  google::protobuf::util::MessageToJsonString(message, &json);
  out << json;
}

void dump_app_info(std::ostream& out, const std::string& version, int argc, char** argv) {
  vx::AppExeInfo info;
  try {
    info = collect_exe_info(version, argc, argv);
  } catch (const std::exception&) {
    info.Clear();
  }
  print_json(out, info);
  out << std::endl;
}
