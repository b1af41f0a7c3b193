#include "fixtures.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <google/protobuf/text_format.h>
#include <google/protobuf/util/message_differencer.h>

namespace fixture {

namespace {

la_ssize_t append(struct archive*, void* out, const void* data, size_t size) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(data), size);
  return static_cast<la_ssize_t>(size);
}

void check(struct archive* a, int rc, const char* what) {
  if (rc < ARCHIVE_WARN) {
    const char* text = archive_error_string(a);
    throw std::runtime_error(std::string(what) + ": " + (text ? text : "failed"));
  }
}

void add_filter(struct archive* a, const std::string& filter) {
  if (filter.empty()) return;
  check(a, archive_write_add_filter_by_name(a, filter.c_str()), "filter");
}

void write_member(struct archive* a, const member_t& m) {
  struct archive_entry* e = archive_entry_new();
  archive_entry_set_pathname(e, m.name.c_str());
  archive_entry_set_filetype(e, AE_IFREG);
  archive_entry_set_perm(e, 0644);
  archive_entry_set_size(e, static_cast<la_int64_t>(m.data.size()));
  check(a, archive_write_header(a, e), "header");
  archive_entry_free(e);
  if (!m.data.empty() && archive_write_data(a, m.data.data(), m.data.size()) < 0) check(a, ARCHIVE_FATAL, "data");
}

std::string finish(struct archive* a, const std::vector<member_t>& members, std::string& out) {
  check(a, archive_write_open(a, &out, nullptr, &append, nullptr), "open");
  for (const auto& m : members) write_member(a, m);
  check(a, archive_write_close(a), "close");
  archive_write_free(a);
  return out;
}

}  // namespace

std::string eicar() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string archive(const std::string& format, const std::vector<member_t>& members, const std::string& filter,
                    const std::string& passphrase, const std::string& options) {
  struct archive* a = archive_write_new();
  std::string out;
  const std::string name = format == "tar" ? "ustar" : format == "cpio" ? "cpio" : format == "7z" ? "7zip" : format;
  check(a, archive_write_set_format_by_name(a, name.c_str()), "format");
  add_filter(a, filter);
  archive_write_set_bytes_in_last_block(a, 1);
  if (!passphrase.empty()) {
    check(a, archive_write_set_options(a, "zip:encryption=zipcrypt"), "encryption");
    check(a, archive_write_set_passphrase(a, passphrase.c_str()), "passphrase");
  }
  if (!options.empty()) check(a, archive_write_set_options(a, options.c_str()), "options");
  return finish(a, members, out);
}

std::string compressed(const std::string& filter, const std::string& name, const std::string& data) {
  struct archive* a = archive_write_new();
  std::string out;
  check(a, archive_write_set_format_raw(a), "format");
  add_filter(a, filter);
  archive_write_set_bytes_in_last_block(a, 1);
  return finish(a, {{name, data}}, out);
}

std::string noise(std::size_t size) {
  std::mt19937 random(12345);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(random() & 0xff);
  return data;
}

vx::ScanReport shape(const vx::ScanReport& report) {
  vx::ScanReport copy = report;
  copy.clear_size();
  copy.clear_compressed_size();
  for (auto& item : *copy.mutable_item()) item = shape(item);
  return copy;
}

vx::ScanReport parse(const std::string& text) {
  vx::ScanReport report;
  if (!google::protobuf::TextFormat::ParseFromString(text, &report))
    throw std::runtime_error("bad expected report: " + text);
  return report;
}

std::string difference(const vx::ScanReport& expected, const vx::ScanReport& actual) {
  if (google::protobuf::util::MessageDifferencer::Equals(expected, actual)) return std::string();
  std::string a, b;
  google::protobuf::TextFormat::PrintToString(expected, &a);
  google::protobuf::TextFormat::PrintToString(actual, &b);
  return "expected:\n" + a + "actual:\n" + b;
}

temp_dir_t::temp_dir_t() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vemra-engine-XXXXXX").string();
  if (!mkdtemp(&pattern[0])) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

temp_dir_t::~temp_dir_t() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ec);
  std::filesystem::remove_all(path_, ec);
}

std::string temp_dir_t::write(const std::string& name, const std::string& data) const {
  const std::string file = path_ + "/" + name;
  std::ofstream out(file, std::ios::binary);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + file);
  return file;
}

}  // namespace fixture

// libarchive converts archive times with mktime, and glibc's tzset() frees
// and copies its cached TZ string on every call under a lock that
// ThreadSanitizer cannot see. Only the thread-sanitizer build reads this.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
