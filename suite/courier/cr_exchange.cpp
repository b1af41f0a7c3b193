#include "cr_exchange.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "application.pb.h"
#include "svc_frame.h"
#include "svc_report.h"

namespace {

typedef cr_exchange_t::action_t action_t;

// An action with nothing to send but its note (or, for a fault, its why).
action_t note(std::string text, action_t::kind_t kind = action_t::none) {
  action_t action;
  action.kind = kind;
  action.note = std::move(text);
  return action;
}

action_t fault(std::string why) { return note(std::move(why), action_t::fault); }

cr::ServerMessage alarm_message(std::uint32_t id, vx::ErrorCode code, const std::string& what) {
  cr::ServerMessage message;
  message.set_tag(cr::ServerMessage::ALARM);
  message.set_job_id(id);
  message.mutable_error()->set_code(code);
  message.mutable_error()->set_what(what);
  return message;
}

action_t alarm(std::uint32_t id, vx::ErrorCode code, const std::string& what) {
  action_t action;
  action.kind = action_t::reply;
  action.answer = alarm_message(id, code, what);
  action.note = "job " + std::to_string(id) + ": ALARM " + vx::ErrorCode_Name(code) + ": " + what;
  return action;
}

std::string job_text(std::uint32_t id) { return "job " + std::to_string(id); }

}  // namespace

action_t cr_exchange_t::on_frame(const unsigned char* body, std::size_t size) {
  cr::ClientMessage message;
  const std::string problem = svc_parse_body(body, size, message);
  return problem.empty() ? on_message(message) : fault(problem);
}

action_t cr_exchange_t::on_message(const cr::ClientMessage& message) {
  const auto tag = message.tag();
  if (tag == cr::ClientMessage::HELLO) return hello(message);
  const bool with_job = tag == cr::ClientMessage::INIT || tag == cr::ClientMessage::DATA_CHUNK ||
                        tag == cr::ClientMessage::SCAN_REQUEST || tag == cr::ClientMessage::RESET;
  if (!with_job) return note("ignoring unexpected message: " + cr::ClientMessage::ClientMessageTag_Name(tag));
  // Without a job id no answer could say which job it is about.
  if (!message.has_job_id()) return fault(cr::ClientMessage::ClientMessageTag_Name(tag) + " without job_id");
  const std::uint32_t id = message.job_id();
  switch (tag) {
    case cr::ClientMessage::INIT: return init(id);
    case cr::ClientMessage::DATA_CHUNK: return data_chunk(id, message.data());
    case cr::ClientMessage::SCAN_REQUEST: return scan_request(id, message);
    default: return reset(id);
  }
}

action_t cr_exchange_t::hello(const cr::ClientMessage& message) {
  // A second grant would let a client run further past its credit.
  if (hello_) return note("ignoring a second HELLO");
  hello_ = true;
  std::string text = "hello from ";
  text += message.has_origin() ? vx::Application_Name(message.origin()) : "an unnamed client";
  if (message.has_origin_pid()) text += ", pid " + std::to_string(message.origin_pid());
  if (message.flow_control()) {
    metered_ = true;
    owed_ += settings_.window;
    text += ", flow control";
  }
  return note(text);
}

action_t cr_exchange_t::init(std::uint32_t id) {
  const auto it = jobs_.find(id);
  // Two streams under one id would be scanned as one: neither is.
  if (it != jobs_.end()) return refuse(id, it->second, vx::EC_ALREADY_IN_PROGRESS, "INIT for a job already open");
  if (jobs_.size() >= max_jobs) return alarm(id, vx::EC_LIMIT_REACHED, "too many jobs open on this connection");
  jobs_.emplace(id, job_t());
  return note(job_text(id) + " opened");
}

action_t cr_exchange_t::data_chunk(std::uint32_t id, const std::string& data) {
  if (metered_) {
    const auto size = static_cast<std::int64_t>(data.size());
    if (balance_ - size < -static_cast<std::int64_t>(settings_.window))
      return fault("a chunk of " + std::to_string(size) + " bytes with " + std::to_string(balance_) +
                   " bytes of credit left: more than a window beyond it");
    balance_ -= size;
    // Stored or dropped below, it is taken either way.
    owed_ += data.size();
  }
  const auto it = jobs_.find(id);
  if (it == jobs_.end()) return alarm(id, vx::EC_NO_SUCH_ENTRY, "DATA_CHUNK for a job not open");
  job_t& job = it->second;
  if (job.state == job_t::refused) return action_t();
  if (job.state == job_t::scanning) return refuse(id, job, vx::EC_INVALID_STATE, "DATA_CHUNK after SCAN_REQUEST");
  std::string error;
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  if (!job.data.append(bytes, data.size(), memory_, settings_.spill, error))
    return refuse(id, job, vx::EC_IO_ERROR, error);
  return action_t();
}

action_t cr_exchange_t::scan_request(std::uint32_t id, const cr::ClientMessage& message) {
  const auto it = jobs_.find(id);
  if (it == jobs_.end()) return alarm(id, vx::EC_NO_SUCH_ENTRY, "SCAN_REQUEST for a job not open");
  job_t& job = it->second;
  if (job.state == job_t::refused) return note(job_text(id) + ": SCAN_REQUEST after its ALARM ignored");
  if (job.state == job_t::scanning) return refuse(id, job, vx::EC_ALREADY_IN_PROGRESS, "a second SCAN_REQUEST");
  action_t action;
  action.kind = action_t::scan;
  action.job_id = id;
  action.ticket = ++next_ticket_;
  // The memory stays charged until the scan has let its data go.
  scan_charges_[action.ticket] = job.data.held();
  action.data = std::make_shared<const cr_job_data_t>(std::move(job.data));
  action.options = eng_options_t::from(message.scan_options());
  action.note = job_text(id) + ": scanning " + std::to_string(action.data->size()) + " bytes";
  job.state = job_t::scanning;
  job.ticket = action.ticket;
  return action;
}

action_t cr_exchange_t::reset(std::uint32_t id) {
  const auto it = jobs_.find(id);
  // Finished jobs are gone already; their RESET is the usual close.
  if (it == jobs_.end()) return action_t();
  it->second.data.clear(memory_);
  jobs_.erase(it);
  return note(job_text(id) + " reset");
}

action_t cr_exchange_t::refuse(std::uint32_t id, job_t& job, vx::ErrorCode code, const std::string& what) {
  job.data.clear(memory_);
  job.state = job_t::refused;
  job.ticket = 0;
  return alarm(id, code, what);
}

bool cr_exchange_t::finish(std::uint32_t job_id, std::uint64_t ticket) {
  const auto charge = scan_charges_.find(ticket);
  if (charge != scan_charges_.end()) {
    memory_.used -= charge->second;
    scan_charges_.erase(charge);
  }
  const auto it = jobs_.find(job_id);
  if (it == jobs_.end() || it->second.state != job_t::scanning || it->second.ticket != ticket) return false;
  jobs_.erase(it);
  return true;
}

cr::ServerMessage cr_exchange_t::answer(std::uint32_t job_id, cr_outcome_t&& outcome) {
  if (outcome.error != vx::EC_OK) return alarm_message(job_id, outcome.error, outcome.what);
  cr::ServerMessage message;
  message.set_tag(cr::ServerMessage::SCAN_RESPONSE);
  message.set_job_id(job_id);
  *message.mutable_scan_report() = std::move(outcome.report);
  if (message.ByteSizeLong() > svc_max_message_size) svc_cut_report(*message.mutable_scan_report());
  return message;
}

std::int32_t cr_exchange_t::take_credit() {
  if (!metered_ || owed_ == 0) return 0;
  const auto n = std::min<std::uint64_t>(owed_, std::numeric_limits<std::int32_t>::max());
  owed_ -= n;
  balance_ += static_cast<std::int64_t>(n);
  return static_cast<std::int32_t>(n);
}

std::uint32_t cr_exchange_t::max_frame() const {
  const std::uint64_t most = 2 * std::uint64_t(settings_.window) + frame_overhead;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(most, svc_max_message_size));
}
