#include "wd_run_dir.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "error.pb.h"
#include "log.h"
#include "proto_exception.h"
#include "system_error.h"

namespace {

[[noreturn]] void fail_errno(const std::string& what) { throw cf_errno_error(what); }

}  // namespace

std::unique_ptr<wd_run_dir_t> wd_run_dir_t::open(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) fail_errno("create run directory " + path);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) fail_errno("run directory " + path);
  // Anyone may have made the name first in a shared directory such as /tmp:
  // say how to get past it rather than only that it failed.
  const std::string remedy = "; remove it, or set RunDir (or --run-dir) to a directory of your own";
  if (!S_ISDIR(st.st_mode))
    throw cf_proto_exception_t(vx::EC_NOT_A_DIRECTORY, "run directory " + path + " is not a directory" + remedy);
  if (st.st_uid != geteuid())
    throw cf_proto_exception_t(vx::EC_PERMISSION_DENIED, "run directory " + path + " belongs to user " +
                                                             std::to_string(st.st_uid) + ", not to " +
                                                             std::to_string(geteuid()) + remedy);
  if ((st.st_mode & 07777) != 0700) {
    if (chmod(path.c_str(), 0700) != 0) fail_errno("chmod run directory " + path);
    CF_NOTICE("Warden: run directory " << path << " narrowed to mode 0700");
  }

  const std::string lock_path = path + "/warden.lock";
  const int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) fail_errno("open " + lock_path);
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    char pid[32] = {};
    const ssize_t n = pread(fd, pid, sizeof pid - 1, 0);
    ::close(fd);
    if (error == EWOULDBLOCK)
      throw cf_proto_exception_t(vx::EC_NAME_ALREADY_IN_USE,
                                 "run directory " + path + " is in use by another vemra-warden" +
                                     (n > 0 ? " (pid " + std::string(pid, static_cast<std::size_t>(n)) + ")" : ""));
    errno = error;
    fail_errno("lock " + lock_path);
  }
  const std::string me = std::to_string(getpid());
  if (ftruncate(fd, 0) != 0 || pwrite(fd, me.data(), me.size(), 0) != static_cast<ssize_t>(me.size())) {
    const int error = errno;
    ::close(fd);
    errno = error;
    fail_errno("write " + lock_path);
  }
  return std::unique_ptr<wd_run_dir_t>(new wd_run_dir_t(path, fd));
}

wd_run_dir_t::~wd_run_dir_t() { ::close(lock_fd_); }
