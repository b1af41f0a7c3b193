#include "wd_service_link.h"

#include <boost/asio/error.hpp>

#include "log.h"

namespace {

// A report is a few numbers; room to spare for fields to come, and no
// more, since the length is read before anything is allocated for it.
constexpr std::uint32_t max_report_size = 4096;

}  // namespace

bool wd_add_report(wd_scan_counts_t& totals, wd_scan_counts_t& last, const vx::ServiceStat& report) {
  if (report.scans() < last.scans || report.detections() < last.detections || report.errors() < last.errors ||
      report.bytes() < last.bytes)
    return false;
  totals.scans += report.scans() - last.scans;
  totals.detections += report.detections() - last.detections;
  totals.errors += report.errors() - last.errors;
  totals.bytes += report.bytes() - last.bytes;
  last = {report.scans(), report.detections(), report.errors(), report.bytes()};
  return true;
}

std::shared_ptr<wd_service_link_t> wd_service_link_t::create(boost::asio::io_context& io, int fd, std::string name,
                                                             pid_t pid, wd_scan_counts_t& totals) {
  std::shared_ptr<wd_service_link_t> link(new wd_service_link_t(std::move(name), pid, totals));
  link->adopt(io, fd, "monitor socket");
  return link;
}

wd_service_link_t::wd_service_link_t(std::string name, pid_t pid, wd_scan_counts_t& totals)
    : cf_basic_ipc_link_t(max_report_size), name_(std::move(name)), pid_(pid), totals_(totals) {}

void wd_service_link_t::close() { close_socket(); }

void wd_service_link_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  if (ignoring_) return;
  vx::ServiceStat report;
  if (!report.ParsePartialFromZeroCopyStream(&body) || !report.IsInitialized())
    return ignore_reports("a malformed report");
  if (!wd_add_report(totals_, last_, report)) ignore_reports("a report with counts lower than before");
}

void wd_service_link_t::on_error(const boost::system::error_code& ec) {
  // End of file is the service ending (the reaper reports how); a reset is
  // the same ending with bytes of ours unread.
  if (ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset) {
    CF_DEBUG("Warden: " << name_ << " (pid " << pid_ << ") closed its monitor socket");
    return close();
  }
  // Nothing more can be read in step, but closing would stop the service:
  // the socket stays open and unread until the service ends.
  ignore_reports(ec.message());
}

void wd_service_link_t::ignore_reports(const std::string& why) {
  if (ignoring_) return;
  ignoring_ = true;
  // Counts are not worth stopping scans for; the service serves on.
  CF_ERROR("Warden: " << name_ << " (pid " << pid_ << ") monitor socket: " << why
                      << "; its scan counts are ignored until it is restarted");
}
