#include "cr_job_data.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <utility>

int cr_open_temporary(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  // Kernels and file systems without unnamed files say so in these ways.
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) return fd;
  std::string path = dir + "/vemra-courier.XXXXXX";
  const int named = ::mkostemp(&path[0], O_CLOEXEC);
  if (named >= 0) ::unlink(path.c_str());
  return named;
}

cr_job_data_t::~cr_job_data_t() { close_file(); }

cr_job_data_t::cr_job_data_t(cr_job_data_t&& other) noexcept
    : bytes_(std::move(other.bytes_)), fd_(other.fd_), size_(other.size_), too_large_(other.too_large_) {
  other.fd_ = -1;
  other.size_ = 0;
  other.too_large_ = false;
}

cr_job_data_t& cr_job_data_t::operator=(cr_job_data_t&& other) noexcept {
  if (this != &other) {
    close_file();
    bytes_ = std::move(other.bytes_);
    fd_ = std::exchange(other.fd_, -1);
    size_ = std::exchange(other.size_, 0);
    too_large_ = std::exchange(other.too_large_, false);
  }
  return *this;
}

bool cr_job_data_t::append(const unsigned char* data, std::size_t size, cr_memory_t& memory,
                           const cr_spill_t& spill, std::string& error) {
  size_ += size;
  if (too_large_) return true;
  if (size_ > spill.max_size) {
    too_large_ = true;
    clear(memory);
    return true;
  }
  if (size == 0 || (fd_ < 0 && keep_in_memory(data, size, memory))) return true;
  if (fd_ < 0 && !spill_to_file(spill, memory, error)) return false;
  return write_file(data, size, error);
}

bool cr_job_data_t::keep_in_memory(const unsigned char* data, std::size_t size, cr_memory_t& memory) {
  // The charge is the buffer's capacity, so growth is paid before it
  // happens: doubling while memory allows, exactly what is needed when
  // only that fits.
  const std::size_t needed = bytes_.size() + size, capacity = bytes_.capacity();
  if (needed > capacity) {
    std::size_t grown = std::max(needed, 2 * capacity);
    if (!memory.fits(grown - capacity)) grown = needed;
    if (!memory.fits(grown - capacity)) return false;
    try {
      bytes_.reserve(grown);
    } catch (const std::bad_alloc&) {
      return false;  // short of memory: a file will do
    }
    memory.used += bytes_.capacity() - capacity;
  }
  bytes_.insert(bytes_.end(), data, data + size);
  return true;
}

void cr_job_data_t::clear(cr_memory_t& memory) {
  memory.used -= bytes_.capacity();
  eng_bytes_t().swap(bytes_);
  close_file();
}

bool cr_job_data_t::spill_to_file(const cr_spill_t& spill, cr_memory_t& memory, std::string& error) {
  fd_ = cr_open_temporary(spill.dir);
  if (fd_ < 0) {
    error = "temporary file in " + spill.dir + ": " + strerror(errno);
    return false;
  }
  if (!write_file(bytes_.data(), bytes_.size(), error)) return false;
  memory.used -= bytes_.capacity();
  eng_bytes_t().swap(bytes_);
  return true;
}

bool cr_job_data_t::write_file(const unsigned char* data, std::size_t size, std::string& error) {
  while (size != 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = std::string("temporary file: ") + (n < 0 ? strerror(errno) : "nothing written");
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void cr_job_data_t::close_file() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}
