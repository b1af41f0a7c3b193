#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "eng_bytes.h"
#include "eng_limits.h"
#include "eng_options.h"
#include "eng_rules.h"
#include "scan_report.pb.h"

struct YR_SCAN_CONTEXT;
class eng_archive_reader_t;

// One scan of one top-level object held in memory: the rules run over the
// object and, recursively, over every member of every container in it, as
// deep as the options allow and within the engine's limits. Each member
// becomes an item of its container's report. Used once, on one thread.
class eng_scan_t {
public:
  eng_scan_t(std::shared_ptr<const eng_rules_t> rules, const eng_limits_t& limits, const eng_options_t& options);
  ~eng_scan_t();
  eng_scan_t(const eng_scan_t&) = delete;
  eng_scan_t& operator=(const eng_scan_t&) = delete;

  // Scans the object and fills the report; its object field is the
  // caller's to set.
  void run(vx::ScanReport& report, const unsigned char* data, std::size_t size);

private:
  // Containers opened on the way down to the current object.
  struct depth_t {
    std::uint32_t archives = 0;
    std::uint32_t containers = 0;
  };
  // How a member's extraction ended: whether its data is worth scanning,
  // and whether its container can be read on.
  struct outcome_t {
    bool scan;
    bool go_on;
  };

  void scan_object(vx::ScanReport& report, const unsigned char* data, std::size_t size, depth_t depth);
  void match(vx::ScanReport& report, const unsigned char* data, std::size_t size);
  void open_container(vx::ScanReport& report, const unsigned char* data, std::size_t size, depth_t depth);
  void scan_members(eng_archive_reader_t& reader, vx::ScanReport& report, depth_t depth);
  bool scan_member(eng_archive_reader_t& reader, vx::ScanReport& item, std::uint64_t& expanded, depth_t depth);
  outcome_t extract(eng_archive_reader_t& reader, vx::ScanReport& item, std::uint64_t& expanded,
                    eng_bytes_t& buffer, std::uint64_t& held);
  std::uint64_t member_limit() const;
  bool ratio_exceeded(const eng_archive_reader_t& reader, std::uint64_t expanded) const;
  void settle_last_item(vx::ScanReport& report);
  bool expired();
  void stop(vx::ScanReport& report, vx::ScanError reason);
  void add_component_info(vx::ScanReport& report) const;
  static int on_yara(YR_SCAN_CONTEXT* context, int message, void* message_data, void* self);

  std::shared_ptr<const eng_rules_t> rules_;
  const eng_limits_t& limits_;
  eng_options_t options_;
  YR_SCAN_CONTEXT* scanner_ = nullptr;  // libyara's YR_SCANNER
  bool has_deadline_ = false;
  std::chrono::steady_clock::time_point deadline_;
  // Bytes held by the member buffers along the current path.
  std::uint64_t held_ = 0;
  std::uint32_t kept_items_ = 0;
  bool stopped_ = false;
  vx::ScanError stop_reason_ = vx::SE_UNEXPECTED_ERROR;
  // The report that rule matches go to while YARA runs.
  vx::ScanReport* matching_ = nullptr;
};
