#pragma once

#include <functional>
#include <utility>

#include "scan_report.pb.h"
#include "svc_stat.pb.h"

// The counts of the scans a service has finished since it started, as its
// supervisor is told them. Used on the event-loop thread only.
class svc_counters_t {
public:
  // changed: called after every change (may be empty).
  explicit svc_counters_t(std::function<void()> changed = {});

  // A scan ended with report.
  void scanned(const vx::ScanReport& report);
  // A scan ended without a report (its data could not be mapped, the
  // engine ran out of memory): an error.
  void failed();
  // The counts so far.
  const vx::ServiceStat& stat() const { return stat_; }

private:
  std::function<void()> changed_;
  vx::ServiceStat stat_;
};
