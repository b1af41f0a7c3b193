#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "scan_report.pb.h"

struct archive;
struct archive_entry;

// libarchive over bytes held in memory, limited to formats and filters that
// are built into the library: nothing here starts an external program or
// opens a file named by the data (so no mtree). It counts the input it hands
// out, which is how callers measure compression ratios.
class eng_archive_reader_t {
public:
  enum status_t { ok, end, failed, fatal };

  // Size of the blocks handed to libarchive; also how far the input count
  // may run ahead of the data actually decoded.
  static constexpr std::size_t block_size = 64 * 1024;

  // The data must stay valid and unchanged while the reader lives.
  eng_archive_reader_t(const unsigned char* data, std::size_t size);
  ~eng_archive_reader_t();
  eng_archive_reader_t(const eng_archive_reader_t&) = delete;
  eng_archive_reader_t& operator=(const eng_archive_reader_t&) = delete;

  // Detects the format and reads the first entry header; afterwards kind()
  // and name() describe the data. Returns ok (the first next() yields that
  // entry), end (a container without entries) or failed.
  status_t open();
  // SE_ARCHIVE or SE_CONTAINER once open() recognised the data; 0 when the
  // data is not a container at all.
  int kind() const { return kind_; }
  // Short name of the format, as a file name extension: "zip", "tar.gz", "xz".
  const std::string& name() const { return name_; }
  // Number of compression filters stacked on the data.
  std::uint32_t layers() const { return layers_; }

  // Moves to the next entry: ok, end, or failed (no further entry can be
  // read).
  status_t next();
  // Path name of the current entry as stored ("" when it has none).
  std::string entry_name() const;
  // True for entries that carry file data (not directories, links, devices).
  bool entry_is_file() const;
  // True when the entry's data is encrypted.
  bool entry_is_encrypted() const;
  // The uncompressed size the header declares, when it declares one.
  bool entry_size(std::uint64_t& size) const;

  // Next block of the current entry's data and its offset in the entry:
  // ok, end, failed (this entry is damaged; the next may still be read) or
  // fatal (nothing more can be read).
  status_t read_block(const void** data, std::size_t& size, std::int64_t& offset);

  // The scan error that fits the last failure, seen while reading a header
  // or while reading data.
  vx::ScanError error(bool in_header) const;
  // Input bytes handed to libarchive so far.
  std::uint64_t consumed() const { return consumed_; }

private:
  static long on_read(struct archive*, void* self, const void** buffer);
  static std::int64_t on_skip(struct archive*, void* self, std::int64_t request);
  static std::int64_t on_seek(struct archive*, void* self, std::int64_t offset, int whence);
  void classify();

  const unsigned char* data_;
  std::size_t size_;
  std::size_t position_ = 0;
  std::uint64_t consumed_ = 0;
  // libarchive asked for more input than there is.
  bool starved_ = false;
  struct archive* archive_ = nullptr;
  struct archive_entry* entry_ = nullptr;
  bool first_pending_ = false;
  int kind_ = 0;
  std::uint32_t layers_ = 0;
  std::string name_;
};
