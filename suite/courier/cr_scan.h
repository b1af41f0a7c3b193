#pragma once

#include <string>

#include "cr_job_data.h"
#include "eng_engine.h"
#include "error.pb.h"
#include "scan_report.pb.h"

// The object name of every data scan's report: the data has no name of
// its own, and the daemon names the stream in its replies itself.
extern const char cr_object_name[];

// How the scan of one job ended: a report, or why there is none.
struct cr_outcome_t {
  vx::ScanReport report;
  // EC_OK with a report; otherwise the job could not be scanned.
  vx::ErrorCode error = vx::EC_OK;
  std::string what;
};

// Scans a job's whole data with the engine. Runs on a pool thread and
// never throws: what goes wrong becomes the outcome's error.
cr_outcome_t cr_scan(const eng_engine_t& engine, const cr_job_data_t& data, const eng_options_t& options);
