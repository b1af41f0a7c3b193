#include "sieve_connection.h"

#include <unistd.h>

#include <boost/asio/post.hpp>
#include <google/protobuf/descriptor.h>

#include "config.h"
#include "exception_mapping.h"
#include "inventory.h"
#include "log.h"
#include "proto_error_category.h"
#include "warden_tie.h"

#define SIEVE_DEBUG(s) CF_DEBUG("cl_sieve_connection_t(" << static_cast<const void*>(this) << "): " << s)

namespace {

const std::string& sieve_name() {
  static const std::string name = cf_enum_text(*vx::Application_descriptor(), vx::APP_SIEVE);
  return name;
}

}  // namespace

void cl_sieve_connection_t::request_index_t::insert(std::uint32_t job, std::uint32_t serial) {
  // Serials wrap only after four billion requests; a serial still awaited
  // by then keeps its first job rather than being counted twice.
  if (by_serial_.emplace(serial, job).second) ++per_job_[job];
}

bool cl_sieve_connection_t::request_index_t::take(std::uint32_t serial, std::uint32_t& job) {
  const auto it = by_serial_.find(serial);
  if (it == by_serial_.end()) return false;
  job = it->second;
  by_serial_.erase(it);
  const auto count = per_job_.find(job);
  if (--count->second == 0) per_job_.erase(count);
  return true;
}

void cl_sieve_connection_t::request_index_t::clear() {
  by_serial_.clear();
  per_job_.clear();
}

std::shared_ptr<cl_sieve_connection_t> cl_sieve_connection_t::create(cl_inventory_t& inventory,
                                                                     const std::string& endpoint_tag) {
  return std::shared_ptr<cl_sieve_connection_t>(new cl_sieve_connection_t(inventory, endpoint_tag));
}

cl_sieve_connection_t::cl_sieve_connection_t(cl_inventory_t& inventory, const std::string& endpoint_tag)
    : inventory_(inventory), endpoint_tag_(endpoint_tag), producer_(inventory.io_context()) {
  SIEVE_DEBUG("created");
}

cl_sieve_connection_t::~cl_sieve_connection_t() { SIEVE_DEBUG("destroyed"); }

void cl_sieve_connection_t::start() {
  if (stopping_) return;
  auto self = shared_from_this();
  inventory_.warden().request_sieve(
      [self](vx::ErrorCode code, const std::string& socket_path) { self->on_socket(code, socket_path); });
  fill_proxy_options();
  std::weak_ptr<cl_sieve_connection_t> weak = self;
  config_subscription_ = inventory_.config().changed.connect([weak] {
    if (auto connection = weak.lock()) connection->on_config_changed();
  });
  SIEVE_DEBUG("requesting " << sieve_name() << " socket");
  producer_.set_delegate(std::weak_ptr<cl_path_producer_t::delegate_t>(self));
}

void cl_sieve_connection_t::scan(std::uint32_t job, const std::string& path, scan_handler_t handler) {
  add_job(job, path, std::move(handler), first_threat);
}

void cl_sieve_connection_t::contscan(std::uint32_t job, const std::string& path, scan_handler_t handler) {
  add_job(job, path, std::move(handler), continue_after_threat);
}

void cl_sieve_connection_t::add_job(std::uint32_t job, const std::string& path, scan_handler_t handler,
                                    scan_mode_t mode) {
  if (stopping_) return;
  jobs_[job] = sieve_job_t{std::move(handler), mode, path};
  if (proxy_open_) start_job(job, path);
}

void cl_sieve_connection_t::stop() {
  if (stopping_) return;
  // Dropping the handlers below may release our owner, and with it us.
  const auto self = shared_from_this();
  stopping_ = true;
  SIEVE_DEBUG("stopping...");
  // No close request: closing the socket ends the proxy session.
  close_socket();
  config_subscription_.disconnect();
  producer_.stop();
  jobs_.clear();
  request_index_.clear();
  threat_seen_.clear();
  producing_.clear();
}

void cl_sieve_connection_t::on_socket(vx::ErrorCode code, const std::string& socket_path) {
  if (stopping_ || failed_) return;
  if (code != vx::EC_OK) {
    CF_ERROR(sieve_name() << " is not available: " << cf_enum_text(*vx::ErrorCode_descriptor(), code));
    return fail(vx::make_error_code(code));
  }
  boost::asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = boost::asio::local::stream_protocol::endpoint(socket_path);
  } catch (const boost::system::system_error& e) {
    // A path too long for a socket address fails like a refused connect.
    return on_connect(e.code(), socket_path);
  }
  // Connected asynchronously: a service whose listen queue is full would
  // otherwise hold the whole event loop until it accepts.
  socket_ = std::make_shared<socket_t>(inventory_.io_context());
  auto self = shared_from_this();
  socket_->async_connect(endpoint, [self, socket_path](const boost::system::error_code& ec) {
    self->on_connect(ec, socket_path);
  });
}

void cl_sieve_connection_t::on_connect(const boost::system::error_code& ec, const std::string& socket_path) {
  if (ec == boost::asio::error::operation_aborted || stopping_) return;
  if (ec) {
    // Only this client's scans are affected; the rest of the daemon goes on.
    CF_ERROR(sieve_name() << " is not available: " << cf_system_error_t(ec, "connect").what());
    return fail(ec);
  }
  CF_DEBUG("Connection to " << sieve_name() << " established: " << socket_path);
  start_reading();
  open_proxy();
}

void cl_sieve_connection_t::on_config_changed() {
  fill_proxy_options();
  if (proxy_open_ && !failed_) send_proxy_options();
}

void cl_sieve_connection_t::fill_proxy_options() {
  cl_set_scan_limits(inventory_.config(), endpoint_tag_, proxy_options_);
}

void cl_sieve_connection_t::open_proxy() {
  sv::ClientMessage open;
  open.set_tag(sv::ClientMessage::OPEN_PROXY);
  open.set_origin(vx::APP_CLAMD);
  open.set_pid(static_cast<std::uint32_t>(getpid()));
  if (!send(open)) return;
  SIEVE_DEBUG("OPEN_PROXY_REQUEST sent");
  send_proxy_options();
  if (failed_) return;
  proxy_open_ = true;
  // Requests follow the options at once; there is no need to wait for
  // PROXY_READY. Ids are taken first: starting a job may end the connection.
  std::vector<std::uint32_t> waiting;
  for (const auto& job : jobs_) waiting.push_back(job.first);
  for (const auto id : waiting) {
    const auto it = jobs_.find(id);
    if (stopping_ || failed_) return;
    if (it != jobs_.end()) start_job(id, it->second.path);
  }
}

void cl_sieve_connection_t::send_proxy_options() {
  sv::ClientMessage notification;
  notification.set_tag(sv::ClientMessage::PROXY_OPTIONS_NOTIFICATION);
  *notification.mutable_proxy_options() = proxy_options_;
  if (send(notification)) SIEVE_DEBUG("PROXY_OPTIONS_NOTIFICATION sent");
}

void cl_sieve_connection_t::start_job(std::uint32_t job, const std::string& path) {
  producing_.insert(job);
  try {
    producer_.add_task(job, path);
  } catch (const std::exception& e) {
    // No thread to walk with: this connection cannot scan. Reported from
    // the loop, not from inside the caller's scan().
    CF_ERROR("Cannot expand paths for " << sieve_name() << ": " << exception_text(e));
    boost::asio::post(inventory_.io_context(),
                      [self = shared_from_this(), ec = exception_error_code(e)] { self->fail(ec); });
  }
}

bool cl_sieve_connection_t::send(const sv::ClientMessage& message) {
  try {
    async_send_message(message);
    return true;
  } catch (const boost::system::system_error& e) {
    // Only a queue that a stalled service let grow past its limit gets here.
    fail(e.code());
    return false;
  }
}

void cl_sieve_connection_t::on_paths(std::uint32_t job, std::vector<boost::filesystem::path>&& paths, bool last) {
  if (stopping_ || failed_ || jobs_.count(job) == 0) return;
  if (last) producing_.erase(job);
  sv::ClientMessage request;
  request.set_tag(sv::ClientMessage::PROXY_SCAN_REQUEST);
  for (const auto& path : paths) {
    request.set_serial(scan_serial_);
    request.set_path(path.native());
    if (!send(request)) return;
    request_index_.insert(job, scan_serial_++);
  }
  // Every response may have come in before this final batch.
  if (last && is_complete(job)) settle(job, nullptr, nullptr);
}

void cl_sieve_connection_t::on_task_error(std::uint32_t job, const boost::filesystem::path&,
                                          const boost::system::error_code& error, bool produced) {
  if (stopping_ || failed_) return;
  const auto it = jobs_.find(job);
  if (it == jobs_.end()) return;
  producing_.erase(job);
  if (!produced) {
    vx::ScanReport report;
    report.set_object(it->second.path);
    if (error) report.set_error(to_scan_error(error));
    // Handed over before the job is removed, so that the owner never sees
    // the connection idle while this report is still on its way.
    if (deliver(job, report)) remove_job(job);
    return;
  }
  if (!error) {
    if (is_complete(job)) settle(job, nullptr, nullptr);
    return;
  }
  // Part of the tree was never sent: the job reports the failure and can
  // no longer end as clean.
  it->second.walk_failed = true;
  const vx::ScanError reason = to_scan_error(error);
  settle(job, nullptr, &reason);
}

void cl_sieve_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  if (stopping_ || failed_) return;
  sv::ServerMessage message;
  // A service that sends garbage fails this connection only, never the
  // daemon.
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized())
    return fail(vx::make_error_code(vx::EC_BAD_MESSAGE_FORMAT));
  dispatch(message);
}

void cl_sieve_connection_t::dispatch(const sv::ServerMessage& message) {
  switch (message.tag()) {
    case sv::ServerMessage::PROXY_SCAN_RESPONSE:
      return handle_scan_response(message);
    case sv::ServerMessage::PROXY_ALARM: {
      // An alarm is a failure even when it names no reason.
      const vx::ErrorCode code =
          message.has_error() && message.error().code() != vx::EC_OK ? message.error().code() : vx::EC_UNEXPECTED_ERROR;
      return fail(vx::make_error_code(code));
    }
    case sv::ServerMessage::THREATS_OP_RESPONSE:
      SIEVE_DEBUG("threat ignored");
      return;
    case sv::ServerMessage::PROXY_READY:
      SIEVE_DEBUG("proxy ready");
      return;
    default:
      SIEVE_DEBUG("ignoring unexpected message: "
                  << cf_enum_text(*sv::ServerMessage::ServerMessageTag_descriptor(), message.tag()));
      return;
  }
}

void cl_sieve_connection_t::handle_scan_response(const sv::ServerMessage& message) {
  std::uint32_t job = 0;
  if (!message.has_serial() || !request_index_.take(message.serial(), job)) {
    SIEVE_DEBUG("ignoring response to unknown serial "
                << (message.has_serial() ? std::to_string(message.serial()) : std::string("(none)")));
    return;
  }
  if (message.has_threat_id()) {
    ignore_threat(message.threat_id());
    if (failed_) return;
  }
  if (message.has_error()) {
    const vx::ScanError reason = to_scan_error(vx::make_error_code(message.error().code()));
    return settle(job, nullptr, &reason);
  }
  settle(job, &message.scan_report(), nullptr);
}

void cl_sieve_connection_t::ignore_threat(std::int64_t threat_id) {
  sv::ClientMessage request;
  request.set_tag(sv::ClientMessage::THREAT_OP_REQUEST);
  request.set_op(vx::THREAT_OP_IGNORE);
  request.set_threat_id(threat_id);
  request.set_origin(vx::APP_CLAMD);
  request.set_pid(static_cast<std::uint32_t>(getpid()));
  request.set_serial(threat_op_serial_);
  if (!send(request)) return;
  ++threat_op_serial_;
  SIEVE_DEBUG("THREAT_OP_REQUEST ignore sent for #" << threat_id);
}

// One answer for a job: a report, an error, or neither (the job's last
// batch came after its last response). Decides what the handler sees and
// ends the job once nothing more is awaited for it.
void cl_sieve_connection_t::settle(std::uint32_t job, const vx::ScanReport* report, const vx::ScanError* error) {
  const auto it = jobs_.find(job);
  if (it == jobs_.end()) return;
  const bool complete = is_complete(job);
  const bool threat = threat_seen_.count(job) != 0;
  const bool may_end_clean = !threat && !it->second.walk_failed;
  const scan_mode_t mode = it->second.mode;
  vx::ScanReport root;
  root.set_object(it->second.path);
  if (mode == first_threat && threat) {
    if (complete) remove_job(job);
    return;
  }
  if (error) {
    root.set_error(*error);
    if (!deliver(job, root)) return;
    if (!complete) return;
    root.clear_error();
    if (mode == continue_after_threat && may_end_clean && !deliver(job, root)) return;
    return remove_job(job);
  }
  if (report && has_error(*report)) {
    if (!deliver(job, *report)) return;
  } else if (report && has_threat(*report)) {
    threat_seen_.insert(job);
    if (!deliver(job, *report)) return;
  } else if (complete && may_end_clean) {
    if (!deliver(job, root)) return;
  }
  if (complete) remove_job(job);
}

// Calls the job's handler; false when the job or the connection ended
// during the call.
bool cl_sieve_connection_t::deliver(std::uint32_t job, const vx::ScanReport& report) {
  const auto it = jobs_.find(job);
  if (it == jobs_.end()) return false;
  // A copy: the handler may stop the connection, which drops the job.
  const scan_handler_t handler = it->second.handler;
  handler(job, report);
  return !stopping_ && !failed_ && jobs_.count(job) != 0;
}

bool cl_sieve_connection_t::is_complete(std::uint32_t job) const {
  return !request_index_.has_job(job) && producing_.count(job) == 0;
}

void cl_sieve_connection_t::remove_job(std::uint32_t job) {
  SIEVE_DEBUG("removing job: " << job);
  threat_seen_.erase(job);
  const auto it = jobs_.find(job);
  if (it == jobs_.end()) return;
  // The handler may hold the last reference to our owner: it goes only
  // after the map no longer refers to it.
  scan_handler_t handler = std::move(it->second.handler);
  jobs_.erase(it);
  handler = nullptr;
  if (!stopping_ && jobs_.empty()) idle_signal();
}

bool cl_sieve_connection_t::has_error(const vx::ScanReport& report) const {
  if (report.has_error()) return true;
  for (const auto& item : report.item())
    if (has_error(item)) return true;
  return false;
}

bool cl_sieve_connection_t::has_threat(const vx::ScanReport& report) const {
  for (const auto& virus : report.virus())
    if (inventory_.config().is_detected(endpoint_tag_, virus.type())) return true;
  for (const auto& item : report.item())
    if (has_threat(item)) return true;
  return false;
}

void cl_sieve_connection_t::on_error(const boost::system::error_code& ec) { fail(ec); }

// The one failure path: reported once, then the connection stays silent
// until its owner stops it.
void cl_sieve_connection_t::fail(const boost::system::error_code& ec) {
  if (stopping_ || failed_) return;
  failed_ = true;
  SIEVE_DEBUG("failed: " << ec.message());
  close_socket();
  failure_signal(ec);
}
