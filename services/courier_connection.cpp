#include "courier_connection.h"

#include <unistd.h>

#include <algorithm>
#include <limits>

#include <google/protobuf/descriptor.h>

#include "config.h"
#include "installation_monitor.h"
#include "inventory.h"
#include "log.h"
#include "proto_error_category.h"
#include "system_error.h"
#include "warden_tie.h"

#define COURIER_DEBUG(s) CF_DEBUG("cl_courier_connection_t(" << static_cast<const void*>(this) << "): " << s)

namespace {

// Refused sockets in a row after which only a new configuration makes the
// connection try again.
constexpr std::uint16_t max_connect_failures = 10;

// Frames carry at most 64 MiB: data held for a job while disconnected may
// be more, and leaves in pieces well below the limit.
constexpr std::size_t max_chunk_size = 16 * 1024 * 1024;

const std::string& courier_name() {
  static const std::string name = cf_enum_text(*vx::Application_descriptor(), vx::APP_COURIER);
  return name;
}

// The service decides the credit it grants: a stream of large grants or
// charges must saturate rather than overflow.
std::int32_t saturate(std::int64_t window) {
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(window, std::numeric_limits<std::int32_t>::min(),
                                                            std::numeric_limits<std::int32_t>::max()));
}

// What init_job throws while the service cannot be used; the peer puts
// the text after "scan: ERROR Courier ".
cf_system_error_t no_courier() {
  return cf_system_error_t(vx::make_error_code(vx::EC_NO_COURIER), std::string());
}

}  // namespace

cl_courier_connection_t::cl_courier_connection_t(cl_inventory_t& inventory,
                                                 std::chrono::steady_clock::duration reconnect_delay)
    : inventory_(inventory),
      reconnect_timer_(inventory.io_context()),
      reconnect_delay_(reconnect_delay),
      lifetime_(std::make_shared<char>()) {
  COURIER_DEBUG("created");
}

cl_courier_connection_t::~cl_courier_connection_t() {
  lifetime_.reset();
  drop_link();
  COURIER_DEBUG("destroyed");
}

std::uint32_t cl_courier_connection_t::init_job(scan_handler_t handler) {
  if (state_ == wait_install || state_ == wait_config) throw no_courier();
  const std::uint32_t id = next_job_id_;
  if (!link_) {
    if (!connect()) throw no_courier();
    // Announced by resend_pending once the connection is made.
    jobs_[id] = std::move(handler);
  } else {
    jobs_[id] = std::move(handler);
    send_init(id);
    // The link broke under the INIT: the caller must not wait for a report.
    if (jobs_.count(id) == 0) throw no_courier();
  }
  ++next_job_id_;
  return id;
}

void cl_courier_connection_t::send_data(std::uint32_t job, const void* data, std::size_t size) {
  // Data of a job already gone (reset, finished or dropped by a failure)
  // must not be held for a job nobody will ever announce.
  if (jobs_.count(job) == 0) return;
  const char* bytes = static_cast<const char*>(data);
  if (!link_) {
    auto& pending = pending_data_[job];
    pending.insert(pending.end(), bytes, bytes + size);
    return;
  }
  send_chunks(job, bytes, size);
}

void cl_courier_connection_t::send_chunks(std::uint32_t job, const char* data, std::size_t size) {
  cr::ClientMessage message;
  message.set_tag(cr::ClientMessage::DATA_CHUNK);
  message.set_job_id(job);
  std::size_t offset = 0;
  // At least one chunk: an empty piece still goes out, with an empty field.
  do {
    const std::size_t n = std::min(size - offset, max_chunk_size);
    message.set_data(data + offset, n);
    if (!send(message)) return;
    window_ = saturate(std::int64_t{window_} - static_cast<std::int64_t>(n));
    offset += n;
  } while (offset < size);
}

void cl_courier_connection_t::scan_request(std::uint32_t job, const cr::ScanOptions& options) {
  if (jobs_.count(job) == 0) return;
  if (!link_) {
    pending_scans_[job] = options;
    return;
  }
  cr::ClientMessage message;
  message.set_tag(cr::ClientMessage::SCAN_REQUEST);
  message.set_job_id(job);
  *message.mutable_scan_options() = options;
  if (send(message)) COURIER_DEBUG("SCAN_REQUEST for job " << job << " sent");
}

void cl_courier_connection_t::reset_job(std::uint32_t job) {
  // While failing the link is about to go, and the service forgets every
  // job with it.
  if (link_ && state_ != failing) {
    cr::ClientMessage message;
    message.set_tag(cr::ClientMessage::RESET);
    message.set_job_id(job);
    if (send(message)) COURIER_DEBUG("RESET for job " << job << " sent");
  }
  remove_job(job);
}

void cl_courier_connection_t::remove_job(std::uint32_t job) {
  COURIER_DEBUG("removing job: " << job);
  pending_scans_.erase(job);
  pending_data_.erase(job);
  const auto it = jobs_.find(job);
  if (it == jobs_.end()) return;
  // The handler may hold the last reference to a peer that resets its other
  // jobs as it goes: it is released only once the map no longer holds it,
  // and idle is told once, by whoever emptied the map.
  scan_handler_t handler = std::move(it->second);
  jobs_.erase(it);
  const bool idle_now = jobs_.empty();
  handler = nullptr;
  if (idle_now) idle_signal();
}

void cl_courier_connection_t::on_config_changed() {
  if (state_ != wait_config) return;
  state_ = idle;
  connect_failures_ = 0;
}

cr::ScanOptions cl_courier_connection_t::make_scan_options(cl_inventory_t& inventory, const std::string& endpoint_tag) {
  cr::ScanOptions options;
  cl_set_scan_limits(inventory.config(), endpoint_tag, options);
  return options;
}

std::uint32_t cl_courier_connection_t::acquire(std::uint32_t n) {
  const std::uint32_t available = window_ > 0 ? static_cast<std::uint32_t>(window_) : 0;
  const std::uint32_t granted = std::min(n, available);
  window_ -= static_cast<std::int32_t>(granted);
  return granted;
}

void cl_courier_connection_t::release(std::int32_t n) {
  const std::int32_t old = window_;
  window_ = saturate(std::int64_t{window_} + n);
  if (window_ > 0 && old <= 0) window_signal();
}

void cl_courier_connection_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  cr::ServerMessage message;
  // A frame that does not parse fails the link like a broken socket: thrown
  // from here it would leave the event loop and end the whole daemon.
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized())
    return on_error(vx::make_error_code(vx::EC_BAD_MESSAGE_FORMAT));
  dispatch(message);
}

void cl_courier_connection_t::dispatch(const cr::ServerMessage& message) {
  const std::uint32_t job = message.job_id();
  switch (message.tag()) {
    case cr::ServerMessage::SCAN_RESPONSE:
      COURIER_DEBUG("SCAN_RESPONSE message received for job " << job);
      return finish(job, message.scan_report());
    case cr::ServerMessage::ALARM: {
      COURIER_DEBUG("ALARM message received for job " << job << ": " << static_cast<int>(message.error().code()));
      vx::ScanReport report;
      report.set_error(to_scan_error(vx::make_error_code(message.error().code())));
      return finish(job, report);
    }
    case cr::ServerMessage::ADJUST_WINDOW:
      return release(message.window_change());
    case cr::ServerMessage::GET_DATA_RESPONSE:
    case cr::ServerMessage::DATA_CHUNK:
      COURIER_DEBUG("ignoring unexpected message for job "
                    << job << ": " << cf_enum_text(*cr::ServerMessage::ServerMessageTag_descriptor(), message.tag()));
      return;
    default:
      return;
  }
}

// Hands a job its one report, then closes it on both sides.
void cl_courier_connection_t::finish(std::uint32_t job, const vx::ScanReport& report) {
  const auto it = jobs_.find(job);
  // Reset by its peer just before the answer came: nobody waits for it.
  if (it == jobs_.end()) return;
  // A copy: the handler may reset the job, or fail the connection.
  const scan_handler_t handler = it->second;
  handler(job, report);
  reset_job(job);
}

void cl_courier_connection_t::on_error(const boost::system::error_code& ec) {
  if (state_ == failing) return;
  COURIER_DEBUG("ipc error occurred: " << ec.message());
  fail(ec);
  schedule_reconnect();
}

bool cl_courier_connection_t::send(const cr::ClientMessage& message) {
  try {
    link_->async_send_message(message);
    return true;
  } catch (const boost::system::system_error& e) {
    // Only a service that stopped reading lets the queue pass its bound.
    on_error(e.code());
    return false;
  }
}

void cl_courier_connection_t::send_init(std::uint32_t job) {
  cr::ClientMessage message;
  message.set_tag(cr::ClientMessage::INIT);
  message.set_job_id(job);
  if (send(message)) COURIER_DEBUG("INIT for job " << job << " sent");
}

// Asks the supervisor for the socket; false, and waiting for the
// installation, when the suite's list says the service is not installed.
bool cl_courier_connection_t::connect() {
  if (state_ != idle && state_ != timer_fired) return true;
  const auto known_installed = inventory_.installation_monitor().query(vx::APP_COURIER);
  if (known_installed.first && !known_installed.second) {
    wait_for_installation();
    return false;
  }
  inventory_.warden().request_courier(
      [this, alive = std::weak_ptr<char>(lifetime_)](vx::ErrorCode code, const std::string& socket_path) {
        if (!alive.expired()) on_socket(code, socket_path);
      });
  state_ = requesting;
  COURIER_DEBUG("requesting " << courier_name() << " socket");
  return true;
}

void cl_courier_connection_t::on_socket(vx::ErrorCode code, const std::string& socket_path) {
  if (code != vx::EC_OK) {
    CF_ERROR(courier_name() << " socket is not available: " << cf_enum_text(*vx::ErrorCode_descriptor(), code));
    if (code != vx::EC_NOT_INSTALLED) return on_error(vx::make_error_code(code));
    fail(vx::make_error_code(code));
    return wait_for_installation();
  }
  if (state_ != requesting) return;
  boost::asio::local::stream_protocol::endpoint endpoint;
  try {
    endpoint = boost::asio::local::stream_protocol::endpoint(socket_path);
  } catch (const boost::system::system_error& e) {
    // A path too long for a socket address fails like a refused connect.
    return on_connect_failed(e.code());
  }
  // Connected asynchronously: a service whose listen queue is full would
  // otherwise hold the whole event loop until it accepts.
  auto socket = std::make_shared<socket_t>(inventory_.io_context());
  connecting_ = socket;
  socket->async_connect(endpoint, [this, alive = std::weak_ptr<char>(lifetime_), socket,
                                   socket_path](const boost::system::error_code& ec) {
    if (!alive.expired()) on_connect(ec, socket, socket_path);
  });
}

void cl_courier_connection_t::on_connect(const boost::system::error_code& ec, const std::shared_ptr<socket_t>& socket,
                                         const std::string& socket_path) {
  // A socket dropped meanwhile completes for nobody.
  if (ec == boost::asio::error::operation_aborted || socket != connecting_ || state_ != requesting) return;
  connecting_.reset();
  if (ec) return on_connect_failed(ec);
  on_connected(socket, socket_path);
}

void cl_courier_connection_t::on_connected(std::shared_ptr<socket_t> socket, const std::string& socket_path) {
  connect_failures_ = 0;
  CF_DEBUG("Connection to " << courier_name() << " established: " << socket_path);
  link_ = cl_courier_link_t::create(this, std::move(socket));
  state_ = connected;
  cr::ClientMessage hello;
  hello.set_tag(cr::ClientMessage::HELLO);
  hello.set_origin(vx::APP_CLAMD);
  hello.set_origin_pid(static_cast<std::uint32_t>(getpid()));
  hello.set_flow_control(true);
  if (send(hello)) resend_pending();
}

void cl_courier_connection_t::on_connect_failed(const boost::system::error_code& ec) {
  CF_ERROR(courier_name() << " connection error: " << ec.message());
  state_ = idle;
  if (++connect_failures_ < max_connect_failures) return schedule_reconnect();
  CF_ERROR(courier_name() << " reconnection attempts limit reached, waiting for config");
  fail(ec);
  state_ = wait_config;
}

// All INITs, then all data, then all scan requests, each in ascending id.
// Every step may fail the link, which ends the resending.
void cl_courier_connection_t::resend_pending() {
  COURIER_DEBUG("resending pending jobs");
  const auto link = link_;
  std::vector<std::uint32_t> ids;
  for (const auto& job : jobs_) ids.push_back(job.first);
  for (const auto id : ids) {
    if (link_ != link) return;
    if (jobs_.count(id) != 0) send_init(id);
  }
  // Taken out first: the buffers must outlive a failure that clears the maps.
  auto data = std::move(pending_data_);
  pending_data_.clear();
  for (const auto& entry : data) {
    if (link_ != link) return;
    if (jobs_.count(entry.first) != 0) send_chunks(entry.first, entry.second.data(), entry.second.size());
  }
  auto scans = std::move(pending_scans_);
  pending_scans_.clear();
  for (const auto& entry : scans) {
    if (link_ != link) return;
    scan_request(entry.first, entry.second);
  }
}

void cl_courier_connection_t::fail(const boost::system::error_code& ec) {
  if (state_ == failing) return;
  state_ = failing;
  failure_signal(ec);
  COURIER_DEBUG("stopping...");
  drop_link();
  window_ = 0;
  // Taken out first: a released handler may let a peer go that resets its
  // job here on its way out.
  auto jobs = std::move(jobs_);
  jobs_.clear();
  pending_data_.clear();
  pending_scans_.clear();
  state_ = idle;
  jobs.clear();
}

void cl_courier_connection_t::drop_link() {
  if (link_) {
    link_->detach();
    link_.reset();
  }
  if (connecting_) {
    boost::system::error_code ignored;
    connecting_->close(ignored);
    connecting_.reset();
  }
}

void cl_courier_connection_t::schedule_reconnect() {
  state_ = timer_wait;
  COURIER_DEBUG("Reconnecting to " << courier_name() << " in 1 second...");
  reconnect_timer_.expires_after(reconnect_delay_);
  reconnect_timer_.async_wait([this, alive = std::weak_ptr<char>(lifetime_)](const boost::system::error_code& ec) {
    if (!alive.expired()) on_reconnect_timer(ec);
  });
}

void cl_courier_connection_t::on_reconnect_timer(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "Courier reconnection timer");
  if (state_ != timer_wait) return;
  state_ = timer_fired;
  // Not installed any more: the connection now waits for the installation,
  // and the next job hears so from init_job. Jobs given since the failure
  // would wait for an installation that may never come: they fail as when
  // the supervisor says so.
  if (connect() || jobs_.empty()) return;
  fail(vx::make_error_code(vx::EC_NOT_INSTALLED));
  state_ = wait_install;
}

void cl_courier_connection_t::wait_for_installation() {
  state_ = wait_install;
  CF_INFO("Waiting for " << courier_name() << " to be installed");
  subscribe_on_installation();
}

void cl_courier_connection_t::subscribe_on_installation() {
  if (installation_subscription_ && installation_subscription_->connected()) return;
  installation_subscription_ = std::make_shared<boost::signals2::scoped_connection>(
      inventory_.installation_monitor().courier_notification().connect(
          [this](bool installed) { on_installation(installed); }));
}

void cl_courier_connection_t::on_installation(bool installed) {
  if (!installed || state_ != wait_install) return;
  COURIER_DEBUG(courier_name() << " was installed, connecting");
  state_ = idle;
  installation_subscription_->disconnect();
  connect();
}
