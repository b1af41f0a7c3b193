#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "eng_bytes.h"

// Bytes of job data that one connection may keep in memory, shared by all
// of its jobs; what does not fit goes to temporary files.
struct cr_memory_t {
  std::uint64_t limit = 0;
  std::uint64_t used = 0;

  bool fits(std::uint64_t n) const { return n <= limit - used; }
};

// Where a job's data goes once it leaves memory, and how much of it is
// worth keeping.
struct cr_spill_t {
  // Directory of the temporary files.
  std::string dir = "/tmp";
  // Data past this size is counted, not kept: the engine would not scan
  // it anyway.
  std::uint64_t max_size = 256u << 20;
};

// The data of one scan job as it arrives: in memory while the connection's
// memory allows, otherwise in a temporary file that is unlinked at once,
// so nothing is left behind whatever becomes of the process. Moved to the
// scan thread whole once the data is complete.
class cr_job_data_t {
public:
  cr_job_data_t() = default;
  ~cr_job_data_t();
  cr_job_data_t(cr_job_data_t&& other) noexcept;
  cr_job_data_t& operator=(cr_job_data_t&& other) noexcept;
  cr_job_data_t(const cr_job_data_t&) = delete;
  cr_job_data_t& operator=(const cr_job_data_t&) = delete;

  // Adds the next chunk, charging memory for what stays in memory. False
  // when a temporary file cannot be made or written, with the reason in
  // error; the data is useless then.
  bool append(const unsigned char* data, std::size_t size, cr_memory_t& memory, const cr_spill_t& spill,
              std::string& error);
  // Frees what is kept (and its charge).
  void clear(cr_memory_t& memory);

  // Bytes appended so far.
  std::uint64_t size() const { return size_; }
  // Bytes held in memory, charged to the connection.
  std::size_t held() const { return bytes_.size(); }
  // The data grew past the largest size kept; nothing is kept.
  bool too_large() const { return too_large_; }
  // The temporary file holding the data, or -1 while it is in memory.
  int file() const { return fd_; }
  // The data, while it is in memory.
  const eng_bytes_t& bytes() const { return bytes_; }

private:
  bool keep_in_memory(const unsigned char* data, std::size_t size, cr_memory_t& memory);
  bool spill_to_file(const cr_spill_t& spill, cr_memory_t& memory, std::string& error);
  bool write_file(const unsigned char* data, std::size_t size, std::string& error);
  void close_file();

  eng_bytes_t bytes_;
  int fd_ = -1;
  std::uint64_t size_ = 0;
  bool too_large_ = false;
};

// Opens an unnamed temporary file for reading and writing in dir, or -1
// with errno set.
int cr_open_temporary(const std::string& dir);
