#include "eng_file_reader.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

vx::ScanError open_error(int e) {
  switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return vx::SE_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
      return vx::SE_NO_ACCESS;
    case ENAMETOOLONG:
      return vx::SE_NAME_TOO_LONG;
    case EBUSY:
    case ETXTBSY:
    case EAGAIN:
      return vx::SE_FILE_BUSY;
    default:
      return vx::SE_READ_ERROR;
  }
}

class fd_guard_t {
public:
  explicit fd_guard_t(int fd) : fd_(fd) {}
  ~fd_guard_t() {
    if (fd_ >= 0) ::close(fd_);
  }
  fd_guard_t(const fd_guard_t&) = delete;
  fd_guard_t& operator=(const fd_guard_t&) = delete;

private:
  int fd_;
};

// One read, retried on EINTR: bytes read, 0 at end of file, -1 on error.
ssize_t read_some(int fd, unsigned char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool read_failed(vx::ScanError& error) {
  error = errno == EAGAIN ? vx::SE_FILE_BUSY : vx::SE_READ_ERROR;
  return false;
}

// Fills data (sized as fstat said) and reads on past it in chunks: the file
// may have grown, or be a pseudo file that reports size 0. Stops as soon as
// more than limit bytes are held; the caller judges the size.
bool read_all(int fd, std::uint64_t limit, eng_bytes_t& data, vx::ScanError& error) {
  std::size_t used = 0;
  while (used < data.size()) {
    const ssize_t n = read_some(fd, data.data() + used, data.size() - used);
    if (n < 0) return read_failed(error);
    if (n == 0) {
      data.resize(used);  // shorter than when it was measured
      return true;
    }
    used += static_cast<std::size_t>(n);
  }
  unsigned char chunk[64 * 1024];
  while (data.size() <= limit) {
    const ssize_t n = read_some(fd, chunk, sizeof chunk);
    if (n < 0) return read_failed(error);
    if (n == 0) return true;
    data.insert(data.end(), chunk, chunk + n);
  }
  return true;
}

}  // namespace

bool eng_read_file(const std::string& path, std::uint64_t limit, eng_bytes_t& data,
                   std::uint64_t& size, vx::ScanError& error) {
  data.clear();
  size = 0;
  if (path.empty()) {
    error = vx::SE_FILE_NOT_FOUND;
    return false;
  }
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = open_error(errno);
    return false;
  }
  fd_guard_t guard(fd);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = vx::SE_READ_ERROR;
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error = vx::SE_FILE_NOT_REGULAR;
    return false;
  }
  size = static_cast<std::uint64_t>(st.st_size);
  if (size > limit) {
    error = vx::SE_FILE_TOO_LARGE;
    return false;
  }
  try {
    data.resize(static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    error = vx::SE_FILE_TOO_LARGE;
    return false;
  }
  if (!read_all(fd, limit, data, error)) return false;
  size = data.size();
  if (size > limit) {
    data.clear();
    error = vx::SE_FILE_TOO_LARGE;
    return false;
  }
  return true;
}
