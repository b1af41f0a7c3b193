#include "clamd_peer.h"

#include <time.h>

#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>

#include <boost/asio/error.hpp>

#include "clamd_log.h"
#include "config.h"
#include "inventory.h"
#include "vemra_version.h"

#define PEER_DEBUG(s) CL_OBJECT_DEBUG("peer", s)

// Compared exactly and in this order; the first match runs.
const cl_clamd_peer_t::command_t cl_clamd_peer_t::commands[] = {
    {"END", &cl_clamd_peer_t::on_end},
    {"FILDES", &cl_clamd_peer_t::on_data_command},
    {"IDSESSION", &cl_clamd_peer_t::on_idsession},
    {"INSTREAM", &cl_clamd_peer_t::on_data_command},
    {"PING", &cl_clamd_peer_t::on_ping},
    {"RELOAD", &cl_clamd_peer_t::on_reload},
    {"SCAN", &cl_clamd_peer_t::on_scan},
    {"MULTISCAN", &cl_clamd_peer_t::on_scan},
    {"CONTSCAN", &cl_clamd_peer_t::on_scan},
    {"ALLMATCHSCAN", &cl_clamd_peer_t::on_scan},
    {"SHUTDOWN", &cl_clamd_peer_t::on_shutdown},
    {"STATS", &cl_clamd_peer_t::on_stats},
    {"STREAM", &cl_clamd_peer_t::on_data_command},
    {"VERSION", &cl_clamd_peer_t::on_version},
    {"VERSIONCOMMANDS", &cl_clamd_peer_t::on_versioncommands},
};

std::shared_ptr<cl_clamd_peer_t> cl_clamd_peer_t::create(cl_inventory_t& inventory, const std::string& endpoint_tag) {
  return std::shared_ptr<cl_clamd_peer_t>(new cl_clamd_peer_t(inventory, endpoint_tag));
}

cl_clamd_peer_t::cl_clamd_peer_t(cl_inventory_t& inventory, const std::string& endpoint_tag)
    : cl_clamd_connection_t(inventory, endpoint_tag),
      stream_max_length_(inventory.config().stream_max_length(endpoint_tag)) {
  PEER_DEBUG("created");
}

cl_clamd_peer_t::~cl_clamd_peer_t() { PEER_DEBUG("destroyed"); }

void cl_clamd_peer_t::start(std::shared_ptr<cl_clamd_socket_t> socket) {
  cl_clamd_connection_t::start(std::move(socket));
  std::weak_ptr<cl_clamd_peer_t> weak = shared_from_this();
  stop_subscription_ = inventory_.on_stop().connect([weak] {
    if (auto peer = weak.lock()) peer->shutting_down();
  });
}

cl_clamd_state_t cl_clamd_peer_t::on_command() {
  if (in_session_ && !prefixed()) {
    write_reply("Only nCMDS\\n and zCMDS\\0 are accepted inside IDSESSION. ERROR");
    write_reply("Error processing command. ERROR");
    return check_idle();
  }
  for (const auto& command : commands)
    if (command_ == command.word) return (this->*command.handler)();
  return reject();
}

cl_clamd_state_t cl_clamd_peer_t::reject() {
  write_reply(in_session_ ? "Command invalid inside IDSESSION. ERROR" : "UNKNOWN COMMAND");
  return check_idle();
}

cl_clamd_state_t cl_clamd_peer_t::on_ping() {
  if (has_arguments_) return reject();
  write_reply("PONG");
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::on_version() {
  if (has_arguments_) return reject();
  write_reply(version_text());
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::on_versioncommands() {
  if (has_arguments_ || !prefixed()) return reject();
  write_reply(version_text() +
              "| COMMANDS: SCAN RELOAD PING CONTSCAN VERSIONCOMMANDS VERSION STREAM END SHUTDOWN MULTISCAN FILDES "
              "STATS IDSESSION INSTREAM ALLMATCHSCAN");
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::on_stats() {
  if (has_arguments_ || !prefixed()) return reject();
  write_reply("Statistic is not available\nEND");
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::on_reload() {
  if (has_arguments_ || in_session_) return reject();
  // The configuration comes from the supervisor (SIGHUP asks again).
  write_reply("RELOADING");
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::on_shutdown() {
  // Ends this client's connection only; the daemon runs on.
  stop();
  return cl_clamd_state_t::make(cl_clamd_state_t::pending);
}

cl_clamd_state_t cl_clamd_peer_t::on_idsession() {
  if (has_arguments_ || !prefixed() || in_session_) return reject();
  in_session_ = true;
  return cl_clamd_state_t::make(cl_clamd_state_t::next_command);
}

cl_clamd_state_t cl_clamd_peer_t::on_end() {
  if (!in_session_ || has_arguments_) return reject();
  in_session_ = false;
  return check_idle();
}

cl_clamd_state_t cl_clamd_peer_t::on_scan() {
  // Path scans need the file-checking service, which is not wired in yet.
  return reject();
}

cl_clamd_state_t cl_clamd_peer_t::on_data_command() {
  // Data scans need the data-scanning service, which is not wired in yet.
  return reject();
}

void cl_clamd_peer_t::on_io_error(const boost::system::error_code& ec) {
  stop();
  if (ec != boost::asio::error::eof) PEER_DEBUG("IO error occurred: " << ec.message());
}

void cl_clamd_peer_t::stop() { close(); }

void cl_clamd_peer_t::shutting_down() {
  PEER_DEBUG("shutting down...");
  stop();
}

std::string cl_clamd_peer_t::version_text() {
  std::string version = VEMRA_VERSION;
  version[version.rfind('.')] = '/';
  const time_t now = time(nullptr);
  struct tm local;
  localtime_r(&now, &local);
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << "ClamAV " << version << '/' << std::put_time(&local, "%a %b %e %H:%M:%S %Y") << " (Vemra ClamD)";
  return out.str();
}
