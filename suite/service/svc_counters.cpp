#include "svc_counters.h"

#include "svc_report.h"

namespace {

bool has_error(const vx::ScanReport& report) {
  if (report.has_error()) return true;
  for (const auto& item : report.item())
    if (has_error(item)) return true;
  return false;
}

}  // namespace

svc_counters_t::svc_counters_t(std::function<void()> changed) : changed_(std::move(changed)) {
  // Every field is sent, zero or not: the receiver takes the record whole.
  stat_.set_scans(0);
  stat_.set_detections(0);
  stat_.set_errors(0);
  stat_.set_bytes(0);
}

void svc_counters_t::scanned(const vx::ScanReport& report) {
  stat_.set_scans(stat_.scans() + 1);
  // A threat is the answer even when parts of the object were not
  // scanned, as the daemon's reply says too.
  if (svc_has_threat(report))
    stat_.set_detections(stat_.detections() + 1);
  else if (has_error(report))
    stat_.set_errors(stat_.errors() + 1);
  // An error at the top means the object was refused or unreadable as a
  // whole; one further down still had the object's bytes scanned.
  if (!report.has_error()) stat_.set_bytes(stat_.bytes() + report.size());
  if (changed_) changed_();
}

void svc_counters_t::failed() {
  stat_.set_scans(stat_.scans() + 1);
  stat_.set_errors(stat_.errors() + 1);
  if (changed_) changed_();
}
