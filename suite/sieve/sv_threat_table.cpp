#include "sv_threat_table.h"

#include "svc_report.h"

std::int64_t sv_threat_table_t::add(const vx::ScanReport& report) {
  if (threats_.size() >= capacity_) threats_.erase(threats_.begin());
  const std::int64_t id = next_id_++;
  const vx::Virus* virus = svc_first_threat(report);
  threats_.emplace(id, threat_t{report.object(), virus ? virus->name() : std::string()});
  return id;
}

vx::ErrorCode sv_threat_table_t::apply(std::int64_t id, vx::ThreatOp op, threat_t* found) {
  const auto it = threats_.find(id);
  if (it == threats_.end()) return vx::EC_NO_SUCH_ENTRY;
  if (found) *found = it->second;
  switch (op) {
    case vx::THREAT_OP_IGNORE:
      threats_.erase(it);
      return vx::EC_OK;
    case vx::THREAT_OP_REPORT:
      return vx::EC_OK;
    default:
      return vx::EC_NOT_IMPLEMENTED;
  }
}
