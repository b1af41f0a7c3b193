#include "fixtures.h"

#include <random>
#include <stdexcept>

#include <archive.h>
#include <archive_entry.h>
#include <google/protobuf/descriptor.h>

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

}  // namespace

std::string eicar() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

std::string archive(const std::string& format, const std::vector<member_t>& members, const std::string& filter,
                    const std::string& passphrase, const std::string& options) {
  struct archive* a = archive_write_new();
  const std::string name = format == "tar" ? "ustar" : format == "7z" ? "7zip" : format;
  check(a, archive_write_set_format_by_name(a, name.c_str()), "format");
  if (!filter.empty()) check(a, archive_write_add_filter_by_name(a, filter.c_str()), "filter");
  archive_write_set_bytes_in_last_block(a, 1);
  if (!passphrase.empty()) {
    check(a, archive_write_set_options(a, "zip:encryption=zipcrypt"), "encryption");
    check(a, archive_write_set_passphrase(a, passphrase.c_str()), "passphrase");
  }
  if (!options.empty()) check(a, archive_write_set_options(a, options.c_str()), "options");
  std::string out;
  check(a, archive_write_open(a, &out, nullptr, &append, nullptr), "open");
  for (const auto& m : members) write_member(a, m);
  check(a, archive_write_close(a), "close");
  archive_write_free(a);
  return out;
}

std::string compressed(const std::string& filter, const std::string& data) {
  return archive("raw", {{"x", data}}, filter);
}

std::string noise(std::size_t size) {
  std::mt19937 random(12345);
  std::string data(size, '\0');
  for (auto& c : data) c = static_cast<char>(random() & 0xff);
  return data;
}

namespace {

std::string enum_text(const std::string& name) { return name.substr(name.compare(0, 3, "SE_") == 0 ? 3 : 0); }

}  // namespace

std::string tree(const vx::ScanReport& report) {
  std::string out = report.object();
  vx::ScanReport rest = report;
  if (report.has_archive())
    out += (report.archive().type() == vx::SE_ARCHIVE ? " archive:" : " container:") + report.archive().name();
  if (report.has_error()) out += " !" + enum_text(vx::ScanError_Name(report.error()));
  for (const auto& virus : report.virus())
    out += " " + enum_text(vx::VirusType_Name(virus.type())) + ":" + virus.name();
  // What is shown above, and the sizes, which depend on the writer.
  for (const char* shown : {"object", "size", "compressed_size", "archive", "error", "virus", "item"})
    rest.GetReflection()->ClearField(&rest, rest.GetDescriptor()->FindFieldByName(shown));
  if (!rest.ShortDebugString().empty()) out += " [" + rest.ShortDebugString() + "]";
  for (int i = 0; i < report.item_size(); ++i) out += (i ? "; " : " {") + tree(report.item(i));
  return out + (report.item_size() ? "}" : "");
}

}  // namespace fixture

// libarchive converts archive times with mktime, and glibc's tzset() frees
// and copies its cached TZ string on every call under a lock that
// ThreadSanitizer cannot see. Only the thread-sanitizer build reads this.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
