#pragma once

#include "scan_report.pb.h"

// The first threat in the report tree, depth first; null when none.
const vx::Virus* svc_first_threat(const vx::ScanReport& report);
// True when the report or any report nested in it names a threat.
inline bool svc_has_threat(const vx::ScanReport& report) { return svc_first_threat(report) != nullptr; }

// Cuts a report that does not fit in one frame down to what matters most:
// its object, its first threat and SE_REPORT_SIZE_LIMIT, which says that
// the rest is missing.
void svc_cut_report(vx::ScanReport& report);
