#include "warden_tie.h"

#include <unistd.h>

#include "exception_mapping.h"
#include "log.h"

std::shared_ptr<cl_warden_tie_t> cl_warden_tie_t::create(boost::asio::io_context& io, int fd) {
  std::shared_ptr<cl_warden_tie_t> tie(new cl_warden_tie_t());
  tie->adopt(io, fd, "assign");
  return tie;
}

void cl_warden_tie_t::send(vx::Clamd2WardenMessage::MessageTag tag, vx::Clamd2WardenMessage& message) {
  message.set_tag(tag);
  async_send_message(message);
  CF_DEBUG("Monitor: Warden <-- " << vx::Clamd2WardenMessage::MessageTag_Name(tag));
}

void cl_warden_tie_t::request_config() {
  vx::Clamd2WardenMessage message;
  send(vx::Clamd2WardenMessage::GET_CONFIG_REQUEST, message);
}

void cl_warden_tie_t::request_sieve(path_callback_t callback) {
  pending_sieve_.push_back(std::move(callback));
  vx::Clamd2WardenMessage message;
  message.set_uid(getuid());
  send(vx::Clamd2WardenMessage::GET_SIEVE_REQUEST, message);
}

void cl_warden_tie_t::request_courier(path_callback_t callback) {
  pending_courier_.push_back(std::move(callback));
  vx::Clamd2WardenMessage message;
  send(vx::Clamd2WardenMessage::GET_COURIER_REQUEST, message);
}

void cl_warden_tie_t::notify_info() {
  vx::Clamd2WardenMessage message;
  message.set_config_revision(config_revision_);
  message.mutable_info();
  send(vx::Clamd2WardenMessage::MY_INFO_NOTIFICATION, message);
}

void cl_warden_tie_t::notify_stat(const vx::ClamdAppStat& stat) {
  vx::Clamd2WardenMessage message;
  *message.mutable_stat() = stat;
  send(vx::Clamd2WardenMessage::MY_STAT_NOTIFICATION, message);
}

void cl_warden_tie_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  vx::Warden2ClamdMessage message;
  // Parsed partially and checked here, so a missing required field is
  // reported once, by us, rather than also by the library's own log line.
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized())
    return on_error(vx::make_error_code(vx::EC_BAD_MESSAGE_FORMAT));
  try {
    dispatch(message);
  } catch (const std::exception& e) {
    CF_ERROR("Monitor: " << exception_text(e));
    throw vx::EC_MONITOR_IPC_ERROR;
  }
}

void cl_warden_tie_t::dispatch(const vx::Warden2ClamdMessage& message) {
  const auto tag = message.tag();
  switch (tag) {
    case vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE:
      CF_DEBUG("Monitor: Warden --> GET_CONFIG_RESPONSE");
      if (!message.has_config() || !message.has_config_revision())
        throw cf_system_error_t(vx::make_error_code(vx::EC_PROTOCOL_VIOLATION), "GET_CONFIG_RESPONSE");
      if (message.config_revision() == config_revision_) return;
      config_revision_ = message.config_revision();
      config_changed(message.config());
      notify_info();
      return;
    case vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE:
      CF_DEBUG("Monitor: Warden --> GET_SIEVE_RESPONSE");
      return answer(pending_sieve_, message);
    case vx::Warden2ClamdMessage::GET_COURIER_RESPONSE:
      CF_DEBUG("Monitor: Warden --> GET_COURIER_RESPONSE");
      return answer(pending_courier_, message);
    case vx::Warden2ClamdMessage::APPINFO_NOTIFICATION:
      CF_DEBUG("Monitor: Warden --> APPINFO_NOTIFICATION");
      appinfo_received(message.appinfo());
      return;
    default: {
      const std::string& name = vx::Warden2ClamdMessage::MessageTag_Name(tag);
      throw cf_system_error_t(vx::make_error_code(vx::EC_UNEXPECTED_MESSAGE),
                              name.empty() ? std::to_string(tag) : name);
    }
  }
}

void cl_warden_tie_t::answer(std::vector<path_callback_t>& pending, const vx::Warden2ClamdMessage& message) {
  const vx::ErrorCode code = message.has_error() ? message.error().code() : vx::EC_OK;
  const std::string path = message.has_error() ? std::string() : message.socket_path();
  // Taken out first: a callback that asks again waits for the next answer.
  std::vector<path_callback_t> callbacks;
  callbacks.swap(pending);
  for (auto& callback : callbacks) callback(code, path);
}

void cl_warden_tie_t::on_error(const boost::system::error_code& ec) {
  CF_ERROR("Monitor connection: " << ec.message());
  throw vx::EC_MONITOR_IPC_ERROR;
}
