#include "sv_proxy.h"

#include <sstream>

#include "application.pb.h"
#include "proto_error_category.h"
#include "svc_frame.h"
#include "svc_report.h"

namespace {

typedef sv_proxy_t::action_t action_t;

action_t fault(std::string why) {
  action_t action;
  action.kind = action_t::fault;
  action.note = std::move(why);
  return action;
}

action_t answer(sv::ServerMessage::ServerMessageTag tag, std::uint32_t serial) {
  action_t action;
  action.kind = action_t::reply;
  action.answer.set_tag(tag);
  action.answer.set_serial(serial);
  return action;
}

// An answer saying the request itself could not be carried out.
action_t refusal(sv::ServerMessage::ServerMessageTag tag, std::uint32_t serial, vx::ErrorCode code,
                 const std::string& what) {
  action_t action = answer(tag, serial);
  action.answer.mutable_error()->set_code(code);
  action.answer.mutable_error()->set_what(what);
  action.note = "request " + std::to_string(serial) + " refused: " + what;
  return action;
}

template <class Enum>
std::string enum_text(const google::protobuf::EnumDescriptor* type, Enum value) {
  const auto* descriptor = type->FindValueByNumber(static_cast<int>(value));
  return descriptor ? cf_lex_text(*descriptor) : std::to_string(static_cast<int>(value));
}

// What the path of a scan request is wrong with; empty when it is usable.
std::string path_problem(const sv::ClientMessage& message) {
  if (!message.has_path() || message.path().empty()) return "no path";
  const std::string& path = message.path();
  // The file opened would be named by the bytes before the NUL only.
  if (path.find('\0') != std::string::npos) return "path contains a NUL byte";
  if (path.size() > sv_proxy_t::max_path_length)
    return "path longer than " + std::to_string(sv_proxy_t::max_path_length) + " bytes";
  return std::string();
}

}  // namespace

action_t sv_proxy_t::on_frame(const unsigned char* body, std::size_t size) {
  sv::ClientMessage message;
  const std::string problem = svc_parse_body(body, size, message);
  return problem.empty() ? on_message(message) : fault(problem);
}

action_t sv_proxy_t::on_message(const sv::ClientMessage& message) {
  switch (message.tag()) {
    case sv::ClientMessage::OPEN_PROXY:
      return open_proxy(message);
    case sv::ClientMessage::PROXY_OPTIONS_NOTIFICATION:
      return take_options(message);
    case sv::ClientMessage::PROXY_SCAN_REQUEST:
      return scan_request(message);
    case sv::ClientMessage::THREAT_OP_REQUEST:
      return threat_op(message);
    default: {
      action_t ignored;
      ignored.note = "ignoring unexpected message: " + sv::ClientMessage::ClientMessageTag_Name(message.tag());
      return ignored;
    }
  }
}

action_t sv_proxy_t::open_proxy(const sv::ClientMessage& message) {
  open_ = true;
  action_t action;
  action.kind = action_t::reply;
  action.answer.set_tag(sv::ServerMessage::PROXY_READY);
  std::ostringstream note;
  note << "proxy opened by "
       << (message.has_origin() ? enum_text(vx::Application_descriptor(), message.origin()) : "an unnamed client");
  if (message.has_pid()) note << ", pid " << message.pid();
  action.note = note.str();
  return action;
}

action_t sv_proxy_t::take_options(const sv::ClientMessage& message) {
  // Fields left out keep the record's defaults, as the schema has it.
  options_ = eng_options_t::from(message.proxy_options());
  action_t action;
  std::ostringstream note;
  note << "options: scan timeout " << options_.scan_timeout_ms << " ms, heuristics "
       << (options_.heuristic_analysis ? "on" : "off") << ", archive levels " << options_.archive_max_level
       << ", container levels " << options_.container_max_level << ", compression ratio "
       << options_.max_compression_ratio;
  action.note = note.str();
  return action;
}

action_t sv_proxy_t::scan_request(const sv::ClientMessage& message) {
  // Without a serial the answer could not be matched to its request.
  if (!message.has_serial()) return fault("PROXY_SCAN_REQUEST without serial");
  const auto tag = sv::ServerMessage::PROXY_SCAN_RESPONSE;
  if (!open_) return refusal(tag, message.serial(), vx::EC_PROTOCOL_VIOLATION, "scan request before OPEN_PROXY");
  const std::string problem = path_problem(message);
  if (!problem.empty()) return refusal(tag, message.serial(), vx::EC_INVALID_ARGUMENT, problem);
  // Relative to what? Our working directory means nothing to the client.
  if (message.path()[0] != '/')
    return refusal(tag, message.serial(), vx::EC_NOT_ABSOLUTE_PATH, "path is not absolute");
  action_t action;
  action.kind = action_t::scan;
  action.serial = message.serial();
  action.path = message.path();
  action.options = options_;
  return action;
}

action_t sv_proxy_t::threat_op(const sv::ClientMessage& message) {
  if (!message.has_serial()) return fault("THREAT_OP_REQUEST without serial");
  const auto tag = sv::ServerMessage::THREATS_OP_RESPONSE;
  if (!message.has_threat_id() || !message.has_op())
    return refusal(tag, message.serial(), vx::EC_INVALID_ARGUMENT, "threat operation without threat id or op");
  sv_threat_table_t::threat_t threat;
  const vx::ErrorCode code = threats_.apply(message.threat_id(), message.op(), &threat);
  action_t action = answer(tag, message.serial());
  action.answer.set_threat_id(message.threat_id());
  action.answer.set_op(message.op());
  std::ostringstream note;
  note << "threat #" << message.threat_id();
  if (!threat.name.empty()) note << " (" << threat.name << " in " << threat.object << ")";
  note << ": " << enum_text(vx::ThreatOp_descriptor(), message.op()) << ": "
       << enum_text(vx::ErrorCode_descriptor(), code);
  action.note = note.str();
  if (code != vx::EC_OK) {
    action.answer.mutable_error()->set_code(code);
    action.answer.mutable_error()->set_what(action.note);
  }
  return action;
}

sv::ServerMessage sv_proxy_t::scan_response(std::uint32_t serial, vx::ScanReport report) {
  sv::ServerMessage response;
  response.set_tag(sv::ServerMessage::PROXY_SCAN_RESPONSE);
  response.set_serial(serial);
  if (svc_has_threat(report)) response.set_threat_id(threats_.add(report));
  *response.mutable_scan_report() = std::move(report);
  if (response.ByteSizeLong() > svc_max_message_size) svc_cut_report(*response.mutable_scan_report());
  return response;
}
