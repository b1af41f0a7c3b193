#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A scanning service's counts of finished scans.
struct wd_scan_counts_t {
  std::uint64_t scans = 0;
  std::uint64_t detections = 0;
  std::uint64_t errors = 0;
  std::uint64_t bytes = 0;
};

// What Warden knows about the suite at one moment, as its metrics show it.
struct wd_metrics_t {
  struct program_t {
    std::string name;  // label value: "clamd", "sieve", "courier"
    bool up = false;
    std::uint64_t restarts = 0;  // starts after the first
  };
  std::vector<program_t> programs;
  std::uint32_t revision = 0;          // the daemon's configuration in force in Warden
  std::uint32_t applied_revision = 0;  // what the running daemon reported applied; 0: none
  // Client connections of the daemon: open now, and every opened and
  // closed since Warden started, summed over its processes.
  std::uint64_t connections_open = 0;
  std::uint64_t connections_opened = 0;
  std::uint64_t connections_closed = 0;
  // Scans of each scanning service, summed over its processes since
  // Warden started.
  struct service_t {
    std::string name;  // label value: "sieve", "courier"
    wd_scan_counts_t counts;
  };
  std::vector<service_t> services;
  std::uint64_t start_time = 0;  // Warden's, in seconds since the epoch
};

// The Prometheus text exposition (format 0.0.4) of a snapshot.
std::string wd_metrics_text(const wd_metrics_t& m);
