#include "svc_report.h"

#include <utility>

const vx::Virus* svc_first_threat(const vx::ScanReport& report) {
  if (report.virus_size() != 0) return &report.virus(0);
  for (const auto& item : report.item())
    if (const vx::Virus* virus = svc_first_threat(item)) return virus;
  return nullptr;
}

void svc_cut_report(vx::ScanReport& report) {
  vx::ScanReport cut;
  cut.set_object(report.object());
  if (const vx::Virus* virus = svc_first_threat(report)) *cut.add_virus() = *virus;
  cut.set_error(vx::SE_REPORT_SIZE_LIMIT);
  report = std::move(cut);
}
