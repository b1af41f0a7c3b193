#include "wd_metrics.h"

#include <sstream>

namespace {

void family(std::ostringstream& out, const char* name, const char* type, const char* help) {
  out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

std::string wd_metrics_text(const wd_metrics_t& m) {
  std::ostringstream out;
  family(out, "vemra_program_up", "gauge", "Whether a process of the program runs (1) or not (0).");
  for (const auto& p : m.programs) out << "vemra_program_up{program=\"" << p.name << "\"} " << (p.up ? 1 : 0) << '\n';
  family(out, "vemra_program_restarts_total", "counter", "Starts of the program after its first.");
  for (const auto& p : m.programs)
    out << "vemra_program_restarts_total{program=\"" << p.name << "\"} " << p.restarts << '\n';
  family(out, "vemra_config_revision", "gauge", "Revision of the daemon's configuration in force in Warden.");
  out << "vemra_config_revision " << m.revision << '\n';
  family(out, "vemra_clamd_config_revision_applied", "gauge",
         "Revision the running daemon reported applied; 0 when none.");
  out << "vemra_clamd_config_revision_applied " << m.applied_revision << '\n';
  family(out, "vemra_clamd_connections", "gauge", "Client connections of the daemon open now.");
  out << "vemra_clamd_connections " << m.connections_open << '\n';
  family(out, "vemra_clamd_connections_opened_total", "counter", "Client connections the daemon opened.");
  out << "vemra_clamd_connections_opened_total " << m.connections_opened << '\n';
  family(out, "vemra_clamd_connections_closed_total", "counter", "Client connections the daemon closed.");
  out << "vemra_clamd_connections_closed_total " << m.connections_closed << '\n';
  const struct {
    const char* name;
    const char* help;
    std::uint64_t wd_scan_counts_t::*count;
  } scans[] = {
      {"vemra_scans_total", "Scans the service finished, whatever their outcome.", &wd_scan_counts_t::scans},
      {"vemra_scan_detections_total", "Scans whose report names a threat.", &wd_scan_counts_t::detections},
      {"vemra_scan_errors_total", "Scans that name no threat and could not be completed.",
       &wd_scan_counts_t::errors},
      {"vemra_scanned_bytes_total", "Bytes of the objects the service read and scanned.", &wd_scan_counts_t::bytes},
  };
  for (const auto& s : scans) {
    family(out, s.name, "counter", s.help);
    for (const auto& service : m.services)
      out << s.name << "{service=\"" << service.name << "\"} " << service.counts.*s.count << '\n';
  }
  family(out, "vemra_warden_start_time_seconds", "gauge", "When Warden started, in seconds since the epoch.");
  out << "vemra_warden_start_time_seconds " << m.start_time << '\n';
  return out.str();
}
