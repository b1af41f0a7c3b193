#include "wd_clamd_link.h"

#include <boost/asio/error.hpp>

#include "error.pb.h"
#include "log.h"
#include "proto_error_category.h"

std::shared_ptr<wd_clamd_link_t> wd_clamd_link_t::create(boost::asio::io_context& io, int fd, pid_t pid,
                                                         const wd_config_source_t& source,
                                                         std::function<void()> broken,
                                                         std::function<void(std::uint32_t)> applied) {
  std::shared_ptr<wd_clamd_link_t> link(new wd_clamd_link_t(pid, source, std::move(broken)));
  link->applied_ = std::move(applied);
  link->adopt(io, fd, "assign");
  return link;
}

wd_clamd_link_t::wd_clamd_link_t(pid_t pid, const wd_config_source_t& source, std::function<void()> broken)
    : pid_(pid), source_(source), broken_(std::move(broken)) {}

void wd_clamd_link_t::close() { close_socket(); }

void wd_clamd_link_t::send(const vx::Warden2ClamdMessage& message) {
  if (!is_open()) return;
  async_send_message(message);
  CF_DEBUG("Warden: ClamD <-- " << vx::Warden2ClamdMessage::MessageTag_Name(message.tag()));
}

void wd_clamd_link_t::push_config() {
  vx::Warden2ClamdMessage message;
  message.set_tag(vx::Warden2ClamdMessage::GET_CONFIG_RESPONSE);
  message.set_config_revision(source_.revision());
  *message.mutable_config() = source_.settings().clamd;
  send(message);
}

void wd_clamd_link_t::notify_appinfo() {
  vx::Warden2ClamdMessage message;
  message.set_tag(vx::Warden2ClamdMessage::APPINFO_NOTIFICATION);
  *message.add_appinfo() = source_.root_appinfo();
  send(message);
}

void wd_clamd_link_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  vx::Clamd2WardenMessage message;
  if (!message.ParsePartialFromZeroCopyStream(&body) || !message.IsInitialized())
    return fail("a malformed message");
  dispatch(message);
}

void wd_clamd_link_t::dispatch(const vx::Clamd2WardenMessage& message) {
  CF_DEBUG("Warden: ClamD --> " << vx::Clamd2WardenMessage::MessageTag_Name(message.tag()));
  const auto& warden = source_.settings().warden;
  switch (message.tag()) {
    case vx::Clamd2WardenMessage::GET_CONFIG_REQUEST: return push_config();
    case vx::Clamd2WardenMessage::GET_SIEVE_REQUEST:
      return answer_service(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE, warden.sieve_enabled(),
                            warden.sieve_socket(), vx::APP_SIEVE);
    case vx::Clamd2WardenMessage::GET_COURIER_REQUEST:
      return answer_service(vx::Warden2ClamdMessage::GET_COURIER_RESPONSE, warden.courier_enabled(),
                            warden.courier_socket(), vx::APP_COURIER);
    case vx::Clamd2WardenMessage::MY_INFO_NOTIFICATION:
      applied_revision_ = message.config_revision();
      CF_NOTICE("Warden: ClamD (pid " << pid_ << ") applied configuration revision " << applied_revision_);
      if (applied_) applied_(applied_revision_);
      return;
    case vx::Clamd2WardenMessage::MY_STAT_NOTIFICATION:
      if (message.has_stat()) {
        const auto& c = message.stat().connections();
        connections_.now = c.base();
        connections_.opened += c.in();
        connections_.closed += c.out();
        ++connections_.reports;
      }
      return;
    default:
      // Tokens are not issued by this Warden, and the daemon never asks.
      CF_WARNING("Warden: ClamD (pid " << pid_ << ") sent "
                                       << vx::Clamd2WardenMessage::MessageTag_Name(message.tag())
                                       << ", which is not served; ignored");
      return;
  }
}

void wd_clamd_link_t::answer_service(vx::Warden2ClamdMessage::MessageTag tag, bool enabled, const std::string& path,
                                     vx::Application app) {
  vx::Warden2ClamdMessage message;
  message.set_tag(tag);
  if (enabled) {
    message.set_socket_path(path);
  } else {
    message.mutable_error()->set_code(vx::EC_NOT_INSTALLED);
    message.mutable_error()->set_what(cf_lex_text(*vx::Application_descriptor()->FindValueByNumber(app)) +
                                      " is not installed");
  }
  send(message);
}

void wd_clamd_link_t::on_error(const boost::system::error_code& ec) {
  // End of file is the daemon ending; the reaper reports how it ended. A
  // daemon that ends with our messages still unread in its socket resets
  // the connection instead, and one that ends while we are writing fails
  // the write with a broken pipe: both are the same ending, not a broken
  // link. Recycling it would replace its own exit status with our SIGTERM
  // (and restart a daemon that asked to wait for SIGHUP).
  if (ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset ||
      ec == boost::asio::error::broken_pipe) {
    CF_DEBUG("Warden: ClamD (pid " << pid_ << ") closed its monitor socket");
    close();
    return;
  }
  fail(ec.message());
}

void wd_clamd_link_t::fail(const std::string& why) {
  CF_ERROR("Warden: ClamD (pid " << pid_ << ") monitor link: " << why << "; restarting the daemon");
  close();
  if (broken_) {
    auto broken = std::move(broken_);
    broken_ = nullptr;
    broken();
  }
}
