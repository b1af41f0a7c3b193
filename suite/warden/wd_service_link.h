#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "basic_ipc_link.h"
#include "svc_stat.pb.h"
#include "wd_metrics.h"

// Adds what report counts beyond last, the previous report of the same
// process, to totals, and makes it last. A process's counts only grow: a
// report with any count below last's changes nothing and gives false.
bool wd_add_report(wd_scan_counts_t& totals, wd_scan_counts_t& last, const vx::ServiceStat& report);

// Warden's end of a scanning service's monitor socket. The service stops
// when this end closes, so it stays open while the service runs; the
// service's scan counts arrive on it and are added to the totals the
// supervisor keeps for that service over all its processes. Once the
// process has ended the link reads on to the end of the socket, so that a
// last report still counts, and then goes by itself.
class wd_service_link_t : public std::enable_shared_from_this<wd_service_link_t>,
                          public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket> {
public:
  // Takes Warden's end of the socket (the descriptor belongs to the link
  // from here on, also when this throws cf_system_error_t) and starts
  // reading. name, pid: of the service, for the log; totals: outlives the
  // link.
  static std::shared_ptr<wd_service_link_t> create(boost::asio::io_context& io, int fd, std::string name, pid_t pid,
                                                   wd_scan_counts_t& totals);

  // Closes the socket; later completions are dropped. Safe to call twice.
  void close();

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }

private:
  wd_service_link_t(std::string name, pid_t pid, wd_scan_counts_t& totals);
  void ignore_reports(const std::string& why);

  const std::string name_;
  const pid_t pid_;
  wd_scan_counts_t& totals_;
  wd_scan_counts_t last_;
  // After a report that made no sense the rest are not trusted either.
  bool ignoring_ = false;
};
