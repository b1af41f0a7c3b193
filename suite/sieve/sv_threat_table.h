#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "action.pb.h"
#include "error.pb.h"
#include "scan_report.pb.h"

// The threats this process has reported, by id, so that a client can
// later say what to do with one. Ids count up from 1 for the life of the
// process. The table is bounded: when it is full the oldest threat is
// forgotten, so clients that never answer cannot grow it. Used on the
// event-loop thread only.
class sv_threat_table_t {
public:
  // What a registered threat was.
  struct threat_t {
    std::string object;  // the path that was scanned
    std::string name;    // the first threat name found in its report
  };

  explicit sv_threat_table_t(std::size_t capacity = 4096) : capacity_(capacity ? capacity : 1) {}

  // Registers the threat found in report and returns its id.
  std::int64_t add(const vx::ScanReport& report);
  // Carries out op on a registered threat. THREAT_OP_IGNORE forgets it,
  // THREAT_OP_REPORT keeps it; both give EC_OK. Nothing here changes
  // files, so the curing, quarantining and deleting operations give
  // EC_NOT_IMPLEMENTED and keep the threat; an unknown id gives
  // EC_NO_SUCH_ENTRY. The threat, when known, is copied to found.
  vx::ErrorCode apply(std::int64_t id, vx::ThreatOp op, threat_t* found = nullptr);

  std::size_t size() const { return threats_.size(); }

private:
  const std::size_t capacity_;
  std::int64_t next_id_ = 1;
  // Ordered by id, which is by age: the oldest is at the front.
  std::map<std::int64_t, threat_t> threats_;
};
