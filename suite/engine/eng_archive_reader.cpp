#include "eng_archive_reader.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <vector>

#include <archive.h>
#include <archive_entry.h>

namespace {

typedef int (*support_t)(struct archive*);

// Formats that read only the data they are given. mtree is left out on
// purpose: its entries name files on the scanning host.
const support_t candidate_formats[] = {
    archive_read_support_format_zip,  archive_read_support_format_7zip,    archive_read_support_format_rar,
    archive_read_support_format_rar5, archive_read_support_format_tar,     archive_read_support_format_cpio,
    archive_read_support_format_ar,   archive_read_support_format_cab,     archive_read_support_format_lha,
    archive_read_support_format_xar,  archive_read_support_format_iso9660, archive_read_support_format_warc,
    archive_read_support_format_raw,
};

const support_t candidate_filters[] = {
    archive_read_support_filter_gzip, archive_read_support_filter_bzip2,    archive_read_support_filter_xz,
    archive_read_support_filter_lzma, archive_read_support_filter_lzip,     archive_read_support_filter_zstd,
    archive_read_support_filter_lz4,  archive_read_support_filter_compress, archive_read_support_filter_uu,
    archive_read_support_filter_rpm,
};

// A format or filter that libarchive was built without answers ARCHIVE_WARN
// and falls back to running an external program on the data; those are
// dropped, once, on a throw-away handle.
std::vector<support_t> probe(const support_t* first, const support_t* last) {
  std::vector<support_t> usable;
  for (const support_t* fn = first; fn != last; ++fn) {
    struct archive* a = archive_read_new();
    if (!a) break;
    if ((*fn)(a) == ARCHIVE_OK) usable.push_back(*fn);
    archive_read_free(a);
  }
  return usable;
}

const std::vector<support_t>& usable_formats() {
  static const std::vector<support_t> usable = probe(std::begin(candidate_formats), std::end(candidate_formats));
  return usable;
}

const std::vector<support_t>& usable_filters() {
  static const std::vector<support_t> usable = probe(std::begin(candidate_filters), std::end(candidate_filters));
  return usable;
}

const char* format_suffix(int format) {
  switch (format & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP: return "zip";
    case ARCHIVE_FORMAT_7ZIP: return "7z";
    case ARCHIVE_FORMAT_RAR:
    case ARCHIVE_FORMAT_RAR_V5: return "rar";
    case ARCHIVE_FORMAT_TAR: return "tar";
    case ARCHIVE_FORMAT_CPIO: return "cpio";
    case ARCHIVE_FORMAT_AR: return "ar";
    case ARCHIVE_FORMAT_CAB: return "cab";
    case ARCHIVE_FORMAT_LHA: return "lha";
    case ARCHIVE_FORMAT_XAR: return "xar";
    case ARCHIVE_FORMAT_ISO9660: return "iso";
    case ARCHIVE_FORMAT_WARC: return "warc";
    default: return "archive";
  }
}

const char* filter_suffix(int code) {
  switch (code) {
    case ARCHIVE_FILTER_GZIP: return "gz";
    case ARCHIVE_FILTER_BZIP2: return "bz2";
    case ARCHIVE_FILTER_XZ: return "xz";
    case ARCHIVE_FILTER_LZMA: return "lzma";
    case ARCHIVE_FILTER_LZIP: return "lz";
    case ARCHIVE_FILTER_ZSTD: return "zst";
    case ARCHIVE_FILTER_LZ4: return "lz4";
    case ARCHIVE_FILTER_COMPRESS: return "Z";
    case ARCHIVE_FILTER_UU: return "uu";
    case ARCHIVE_FILTER_RPM: return "rpm";
    default: return "compressed";
  }
}

// When a filter fails while opening, libarchive forgets which one it was;
// the magic numbers still tell.
const char* sniff_filter(const unsigned char* p, std::size_t n) {
  auto starts = [&](const char* magic, std::size_t len) { return n >= len && memcmp(p, magic, len) == 0; };
  if (starts("\x1f\x8b", 2)) return "gz";
  if (starts("BZh", 3)) return "bz2";
  if (starts("\xfd" "7zXZ\0", 6)) return "xz";
  if (starts("\x28\xb5\x2f\xfd", 4)) return "zst";
  if (starts("\x04\x22\x4d\x18", 4)) return "lz4";
  if (starts("LZIP", 4)) return "lz";
  if (starts("\x1f\x9d", 2)) return "Z";
  return "compressed";
}

bool contains(const std::string& text, const char* word) { return text.find(word) != std::string::npos; }

}  // namespace

eng_archive_reader_t::eng_archive_reader_t(const unsigned char* data, std::size_t size) : data_(data), size_(size) {}

eng_archive_reader_t::~eng_archive_reader_t() {
  if (archive_) archive_read_free(archive_);
}

long eng_archive_reader_t::on_read(struct archive*, void* self, const void** buffer) {
  auto* r = static_cast<eng_archive_reader_t*>(self);
  if (r->position_ >= r->size_) {
    r->starved_ = true;
    return 0;
  }
  const std::size_t n = std::min(block_size, r->size_ - r->position_);
  *buffer = r->data_ + r->position_;
  r->position_ += n;
  r->consumed_ += n;
  return static_cast<long>(n);
}

std::int64_t eng_archive_reader_t::on_skip(struct archive*, void* self, std::int64_t request) {
  auto* r = static_cast<eng_archive_reader_t*>(self);
  if (request <= 0) return 0;
  const std::size_t n = std::min(static_cast<std::size_t>(request), r->size_ - r->position_);
  r->position_ += n;
  return static_cast<std::int64_t>(n);
}

std::int64_t eng_archive_reader_t::on_seek(struct archive*, void* self, std::int64_t offset, int whence) {
  auto* r = static_cast<eng_archive_reader_t*>(self);
  std::int64_t base = 0;
  if (whence == SEEK_CUR) base = static_cast<std::int64_t>(r->position_);
  else if (whence == SEEK_END) base = static_cast<std::int64_t>(r->size_);
  else if (whence != SEEK_SET) return ARCHIVE_FATAL;
  const std::int64_t target = base + offset;
  if (target < 0 || target > static_cast<std::int64_t>(r->size_)) return ARCHIVE_FATAL;
  r->position_ = static_cast<std::size_t>(target);
  return target;
}

eng_archive_reader_t::status_t eng_archive_reader_t::open() {
  archive_ = archive_read_new();
  if (!archive_) return failed;
  for (support_t fn : usable_formats()) fn(archive_);
  for (support_t fn : usable_filters()) fn(archive_);
  archive_read_set_read_callback(archive_, &on_read);
  archive_read_set_skip_callback(archive_, &on_skip);
  archive_read_set_seek_callback(archive_, &on_seek);
  archive_read_set_callback_data(archive_, this);
  if (archive_read_open1(archive_) != ARCHIVE_OK) {
    // Only a filter that recognised its magic number fails here: no format
    // has looked at the data yet.
    kind_ = vx::SE_CONTAINER;
    name_ = sniff_filter(data_, size_);
    layers_ = 1;
    return failed;
  }
  const int rc = archive_read_next_header(archive_, &entry_);
  classify();
  if (rc == ARCHIVE_EOF) return end;
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return failed;
  first_pending_ = true;
  return ok;
}

void eng_archive_reader_t::classify() {
  const int format = archive_format(archive_);
  const int base = format & ARCHIVE_FORMAT_BASE_MASK;
  // The filter closest to the format comes first; the last is always "none".
  std::string filters;
  const int count = archive_filter_count(archive_);
  for (int i = 0; i + 1 < count; ++i) {
    filters += '.';
    filters += filter_suffix(archive_filter_code(archive_, i));
    ++layers_;
  }
  if (base == ARCHIVE_FORMAT_RAW || base == 0) {
    // Raw data behind no filter is just the object itself, and no format
    // without a filter is libarchive finding nothing it knows.
    if (filters.empty()) return;
    kind_ = vx::SE_CONTAINER;
    name_ = filters.substr(1);
    return;
  }
  kind_ = vx::SE_ARCHIVE;
  name_ = format_suffix(format) + filters;
}

eng_archive_reader_t::status_t eng_archive_reader_t::next() {
  if (first_pending_) {
    first_pending_ = false;
    return ok;
  }
  // Any header failure ends the walk, ARCHIVE_RETRY included (it is above
  // ARCHIVE_WARN): libarchive cannot promise that a retry makes progress.
  const int rc = archive_read_next_header(archive_, &entry_);
  if (rc == ARCHIVE_EOF) return end;
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return failed;
  return ok;
}

std::string eng_archive_reader_t::entry_name() const {
  const char* name = archive_entry_pathname(entry_);
  if (!name) name = archive_entry_pathname_utf8(entry_);
  return name ? name : "";
}

bool eng_archive_reader_t::entry_is_file() const {
  // A hard link's data belongs to the entry it links to.
  return archive_entry_filetype(entry_) == AE_IFREG && !archive_entry_hardlink(entry_);
}

bool eng_archive_reader_t::entry_is_encrypted() const { return archive_entry_is_data_encrypted(entry_) != 0; }

bool eng_archive_reader_t::entry_size(std::uint64_t& size) const {
  if (!archive_entry_size_is_set(entry_) || archive_entry_size(entry_) < 0) return false;
  size = static_cast<std::uint64_t>(archive_entry_size(entry_));
  return true;
}

eng_archive_reader_t::status_t eng_archive_reader_t::read_block(const void** data, std::size_t& size,
                                                                std::int64_t& offset) {
  la_int64_t at = 0;
  const int rc = archive_read_data_block(archive_, data, &size, &at);
  offset = at;
  if (rc == ARCHIVE_OK) return ok;
  if (rc == ARCHIVE_EOF) return end;
  if (rc == ARCHIVE_FATAL) return fatal;
  // ARCHIVE_WARN (a bad checksum after the data), ARCHIVE_FAILED, ARCHIVE_RETRY.
  return failed;
}

vx::ScanError eng_archive_reader_t::error(bool in_header) const {
  if (archive_ && archive_errno(archive_) == ENOMEM) return vx::SE_ARCH_NO_MEMORY;
  std::string text = archive_ ? (archive_error_string(archive_) ? archive_error_string(archive_) : "") : "";
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  // libarchive has no error codes finer than "format error", so the text of
  // its message decides; the words are those its readers use.
  if (contains(text, "passphrase") || contains(text, "encrypt") || contains(text, "decrypt"))
    return vx::SE_PASSWORD_PROTECTED;
  // When no format recognised the data, libarchive leaves its format pointer
  // one past its table, and asking about encryption then reads beyond it.
  if (in_header && archive_ && archive_format(archive_) != 0 && archive_read_has_encrypted_entries(archive_) > 0)
    return vx::SE_PASSWORD_PROTECTED;
  if (contains(text, "crc") || contains(text, "checksum")) return vx::SE_ARCH_CRC_ERROR;
  if (contains(text, "truncat") || contains(text, "premature") || contains(text, "unexpected end"))
    return vx::SE_ARCH_INCOMPLETE;
  // Decoders rarely say that their input ran out; that libarchive asked for
  // more than there was does.
  if (!in_header && starved_) return vx::SE_ARCH_INCOMPLETE;
  return in_header ? vx::SE_ARCH_INVALID_HEADER : vx::SE_UNPACKING_ERROR;
}
