#pragma once

#include <cstdint>
#include <functional>

#include <boost/system/error_code.hpp>

#include "scan_report.pb.h"

// Receives the reports of one scan job: the job id it was started with and
// one report, which lives only for the duration of the call.
typedef std::function<void(std::uint32_t, const vx::ScanReport&)> scan_handler_t;

// Why an object could not be scanned, as a report states it, for an error
// of the system or of the suite; SE_UNEXPECTED_ERROR for anything else.
vx::ScanError to_scan_error(const boost::system::error_code& error);
