#include "eng_scan.h"

#include <string.h>

#include <algorithm>
#include <new>

#include <archive.h>
#include <yara.h>

#include "eng_archive_reader.h"
#include "vemra_version.h"

namespace {

void set_error(vx::ScanReport& report, vx::ScanError error) {
  // The first reason an object was not fully scanned is the one reported.
  if (!report.has_error()) report.set_error(error);
}

bool is_clean(const vx::ScanReport& report) {
  return report.virus_size() == 0 && !report.has_error() && report.item_size() == 0;
}

// Returns its bytes to the scan's running total of held member data.
class held_bytes_t {
public:
  explicit held_bytes_t(std::uint64_t& total) : total_(total) {}
  ~held_bytes_t() { total_ -= mine_; }
  held_bytes_t(const held_bytes_t&) = delete;
  held_bytes_t& operator=(const held_bytes_t&) = delete;
  std::uint64_t& mine() { return mine_; }

private:
  std::uint64_t& total_;
  std::uint64_t mine_ = 0;
};

// A lone compressed stream rarely stores a name (libarchive then calls it
// "data"); the container's own name without its extension says more.
std::string member_name(const eng_archive_reader_t& reader, const std::string& container) {
  std::string name = reader.entry_name();
  if (reader.kind() != vx::SE_CONTAINER || (!name.empty() && name != "data")) return name;
  const std::string base = container.substr(container.find_last_of('/') + 1);
  const auto dot = base.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return name.empty() ? "data" : name;
  return base.substr(0, dot);
}

}  // namespace

eng_scan_t::eng_scan_t(std::shared_ptr<const eng_rules_t> rules, const eng_limits_t& limits,
                       const eng_options_t& options)
    : rules_(std::move(rules)), limits_(limits), options_(options) {}

eng_scan_t::~eng_scan_t() {
  if (scanner_) yr_scanner_destroy(scanner_);
}

void eng_scan_t::run(vx::ScanReport& report, const unsigned char* data, std::size_t size) {
  try {
    if (options_.scan_timeout_ms) {
      has_deadline_ = true;
      deadline_ = limits_.clock() + std::chrono::milliseconds(options_.scan_timeout_ms);
    }
    if (yr_scanner_create(rules_->yara(), &scanner_) != ERROR_SUCCESS) {
      set_error(report, vx::SE_ENGINE_ERROR);
      return;
    }
    yr_scanner_set_callback(scanner_, &on_yara, this);
    // Every scan reads memory this process owns, so libyara's signal
    // handlers for faulting file mappings are not wanted.
    yr_scanner_set_flags(scanner_, SCAN_FLAGS_FAST_MODE | SCAN_FLAGS_NO_TRYCATCH);
    scan_object(report, data, size, depth_t());
  } catch (const std::bad_alloc&) {
    set_error(report, vx::SE_ARCH_NO_MEMORY);
  } catch (const std::exception&) {
    set_error(report, vx::SE_ENGINE_ERROR);
  }
  // A scan cut short says so at the top, where every reader looks.
  if (stopped_) set_error(report, stop_reason_);
  if (options_.report_component_info) add_component_info(report);
}

void eng_scan_t::scan_object(vx::ScanReport& report, const unsigned char* data, std::size_t size, depth_t depth) {
  report.set_size(size);
  if (size < options_.min_size_to_scan) return;
  if (size > options_.max_size_to_scan) {
    set_error(report, vx::SE_OBJECT_SIZE_LIMIT);
    return;
  }
  if (expired()) {
    stop(report, vx::SE_SCAN_TIMEOUT);
    return;
  }
  match(report, data, size);
  if (stopped_) return;
  open_container(report, data, size, depth);
}

void eng_scan_t::match(vx::ScanReport& report, const unsigned char* data, std::size_t size) {
  static const unsigned char nothing = 0;
  if (has_deadline_) {
    // libyara counts whole seconds; round up so it never fires early.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - limits_.clock()).count();
    yr_scanner_set_timeout(scanner_, static_cast<int>(std::max<long long>(1, (left + 999) / 1000)));
  }
  matching_ = &report;
  const int rc = yr_scanner_scan_mem(scanner_, size ? data : &nothing, size);
  matching_ = nullptr;
  if (rc == ERROR_SUCCESS) return;
  if (rc == ERROR_SCAN_TIMEOUT) {
    stop(report, vx::SE_SCAN_TIMEOUT);
    return;
  }
  set_error(report, vx::SE_ENGINE_ERROR);
}

int eng_scan_t::on_yara(YR_SCAN_CONTEXT*, int message, void* message_data, void* self) {
  if (message != CALLBACK_MSG_RULE_MATCHING) return CALLBACK_CONTINUE;
  auto* scan = static_cast<eng_scan_t*>(self);
  const auto* threat = scan->rules_->threat(static_cast<const YR_RULE*>(message_data));
  if (!threat || !scan->matching_) return CALLBACK_CONTINUE;
  if (threat->type == vx::SE_UNKNOWN_VIRUS && !scan->options_.heuristic_analysis) return CALLBACK_CONTINUE;
  // No exception may cross libyara's C frames.
  try {
    vx::Virus* virus = scan->matching_->add_virus();
    virus->set_type(threat->type);
    virus->set_name(threat->name);
  } catch (...) {
    return CALLBACK_ERROR;
  }
  return CALLBACK_CONTINUE;
}

void eng_scan_t::open_container(vx::ScanReport& report, const unsigned char* data, std::size_t size,
                                depth_t depth) {
  if (size == 0 || (!options_.archive_max_level && !options_.container_max_level)) return;
  eng_archive_reader_t reader(data, size);
  const auto status = reader.open();
  if (!reader.kind()) return;
  const bool archive = reader.kind() == vx::SE_ARCHIVE;
  const std::uint32_t allowed =
      std::min(archive ? options_.archive_max_level : options_.container_max_level, limits_.max_nesting);
  // A level of 0 means "leave such objects closed": a choice, not an error.
  if (allowed == 0) return;
  vx::Archive* kind = report.mutable_archive();
  kind->set_type(static_cast<vx::ArchiveType>(reader.kind()));
  kind->set_name(reader.name());
  // libarchive peels stacked filters (x.gz.gz) in one go; each layer still
  // counts as a level.
  const std::uint32_t layers = archive ? 1 : std::max(1u, reader.layers());
  std::uint32_t& level = archive ? depth.archives : depth.containers;
  if (level + layers > allowed) {
    set_error(report, archive ? vx::SE_ARCHIVE_LEVEL_LIMIT : vx::SE_CONTAINER_LEVEL_LIMIT);
    return;
  }
  level += layers;
  if (status == eng_archive_reader_t::failed) {
    set_error(report, reader.error(true));
    return;
  }
  if (status == eng_archive_reader_t::end) return;
  scan_members(reader, report, depth);
}

void eng_scan_t::scan_members(eng_archive_reader_t& reader, vx::ScanReport& report, depth_t depth) {
  // Expanded bytes of this container's members so far, for its ratio.
  std::uint64_t expanded = 0;
  while (!stopped_) {
    if (expired()) {
      stop(report, vx::SE_SCAN_TIMEOUT);
      return;
    }
    const auto status = reader.next();
    if (status == eng_archive_reader_t::end) return;
    if (status != eng_archive_reader_t::ok) {
      set_error(report, reader.error(true));
      return;
    }
    if (!reader.entry_is_file()) continue;
    vx::ScanReport* item = report.add_item();
    std::string name = member_name(reader, report.object());
    if (name.size() > limits_.max_name_length) name.resize(limits_.max_name_length);
    item->set_object(name);
    const bool go_on = scan_member(reader, *item, expanded, depth);
    settle_last_item(report);
    if (!go_on) return;
  }
}

bool eng_scan_t::scan_member(eng_archive_reader_t& reader, vx::ScanReport& item, std::uint64_t& expanded,
                             depth_t depth) {
  if (reader.entry_is_encrypted()) {
    set_error(item, vx::SE_PASSWORD_PROTECTED);
    return true;
  }
  const std::uint64_t limit = member_limit();
  std::uint64_t declared = 0;
  const bool has_declared = reader.entry_size(declared);
  if (has_declared) {
    item.set_size(declared);
    if (declared > limit) {
      set_error(item, vx::SE_OBJECT_SIZE_LIMIT);
      return true;
    }
  }
  eng_bytes_t buffer;
  held_bytes_t held(held_);
  // Headers may lie; a truthful one saves the copies of a growing buffer.
  if (has_declared && held_ + declared <= limits_.max_expanded_bytes) buffer.reserve(declared);
  const outcome_t outcome = extract(reader, item, expanded, buffer, held.mine());
  if (outcome.scan) scan_object(item, buffer.data(), buffer.size(), depth);
  return outcome.go_on && !stopped_;
}

eng_scan_t::outcome_t eng_scan_t::extract(eng_archive_reader_t& reader, vx::ScanReport& item,
                                          std::uint64_t& expanded, eng_bytes_t& buffer,
                                          std::uint64_t& held) {
  const std::uint64_t limit = member_limit();
  for (;;) {
    if (expired()) {
      stop(item, vx::SE_SCAN_TIMEOUT);
      return {false, false};
    }
    const void* block = nullptr;
    std::size_t length = 0;
    std::int64_t offset = 0;
    const auto status = reader.read_block(&block, length, offset);
    if (status == eng_archive_reader_t::end) return {true, true};
    if (status != eng_archive_reader_t::ok) {
      // What arrived before the damage is still scanned.
      set_error(item, reader.error(false));
      return {true, status == eng_archive_reader_t::failed};
    }
    // Sparse entries jump ahead; the gap reads as zeros and counts as data.
    const std::uint64_t at = offset < 0 ? buffer.size() : static_cast<std::uint64_t>(offset);
    const std::uint64_t end = at + length;
    if (end > limit) {
      set_error(item, vx::SE_OBJECT_SIZE_LIMIT);
      return {false, true};
    }
    const std::uint64_t growth = end > buffer.size() ? end - buffer.size() : 0;
    if (held_ + growth > limits_.max_expanded_bytes) {
      set_error(item, vx::SE_ARCHIVE_SIZE_LIMIT);
      return {false, true};
    }
    expanded += growth;
    if (ratio_exceeded(reader, expanded)) {
      set_error(item, vx::SE_COMPRESSION_LIMIT);
      return {false, false};
    }
    if (growth) {
      const std::size_t before = buffer.size();
      buffer.resize(static_cast<std::size_t>(end));
      // The gap a sparse entry skips reads as zeros; resize leaves it raw.
      if (at > before) memset(buffer.data() + before, 0, static_cast<std::size_t>(at) - before);
      held_ += growth;
      held += growth;
    }
    if (length) memcpy(buffer.data() + at, block, length);
  }
}

std::uint64_t eng_scan_t::member_limit() const {
  // A member too large to be scanned is not worth extracting either.
  return std::min({options_.max_size_to_extract, options_.max_size_to_scan, limits_.max_object_size});
}

bool eng_scan_t::ratio_exceeded(const eng_archive_reader_t& reader, std::uint64_t expanded) const {
  // The ratio is judged over the whole container so far, not per member:
  // libarchive reads ahead, and a solid archive decodes one member while
  // reading another, so per-member input counts mean nothing. Allowing one
  // read-ahead block more input than was counted keeps honest archives
  // clear of the limit; a bomb still stops within a few megabytes.
  const std::uint32_t ratio = options_.max_compression_ratio;
  if (!ratio || expanded <= limits_.ratio_floor) return false;
  const std::uint64_t input = reader.consumed() + eng_archive_reader_t::block_size;
  return expanded / ratio > input;
}

void eng_scan_t::settle_last_item(vx::ScanReport& report) {
  if (!options_.list_clean_items && is_clean(report.item(report.item_size() - 1))) {
    report.mutable_item()->RemoveLast();
    return;
  }
  if (++kept_items_ >= limits_.max_report_items && !stopped_) stop(report, vx::SE_REPORT_SIZE_LIMIT);
}

bool eng_scan_t::expired() { return has_deadline_ && limits_.clock() >= deadline_; }

void eng_scan_t::stop(vx::ScanReport& report, vx::ScanError reason) {
  set_error(report, reason);
  stopped_ = true;
  stop_reason_ = reason;
}

void eng_scan_t::add_component_info(vx::ScanReport& report) const {
  report.set_se_version(VEMRA_VERSION);
  report.set_core_engine_version(std::string("YARA ") + YR_VERSION + ", " + archive_version_string());
  report.set_virus_records(rules_->count());
  report.set_base_stamp(rules_->stamp());
}
