#include "clamd_peer.h"

#include <time.h>

#include <algorithm>
#include <cstring>
#include <iomanip>
#include <locale>
#include <sstream>
#include <string>

#include <boost/asio/error.hpp>

#include "clamd_log.h"
#include "config.h"
#include "courier_connection.h"
#include "installation_monitor.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "scan_result_lines.h"
#include "sieve_connection.h"
#include "vemra_version.h"

#define PEER_DEBUG(s) CL_OBJECT_DEBUG("peer", s)

// Compared exactly and in this order; the first match runs.
constexpr cl_clamd_peer_t::command_t cl_clamd_peer_t::commands[] = {
    {"END", &cl_clamd_peer_t::on_end},
    {"FILDES", &cl_clamd_peer_t::on_fildes},
    {"IDSESSION", &cl_clamd_peer_t::on_idsession},
    {"INSTREAM", &cl_clamd_peer_t::on_instream},
    {"PING", &cl_clamd_peer_t::on_ping},
    {"RELOAD", &cl_clamd_peer_t::on_reload},
    {"SCAN", &cl_clamd_peer_t::on_scan},
    {"MULTISCAN", &cl_clamd_peer_t::on_scan},
    {"CONTSCAN", &cl_clamd_peer_t::on_scan},
    {"ALLMATCHSCAN", &cl_clamd_peer_t::on_scan},
    {"SHUTDOWN", &cl_clamd_peer_t::on_shutdown},
    {"STATS", &cl_clamd_peer_t::on_stats},
    {"STREAM", &cl_clamd_peer_t::on_stream},
    {"VERSION", &cl_clamd_peer_t::on_version},
    {"VERSIONCOMMANDS", &cl_clamd_peer_t::on_versioncommands},
};

std::shared_ptr<cl_clamd_peer_t> cl_clamd_peer_t::create(cl_inventory_t& inventory,
                                                         std::shared_ptr<cl_clamd_endpoint_t> endpoint) {
  // One allocation for the peer and its reference counts.
  return std::make_shared<cl_clamd_peer_t>(create_key_t(), inventory, std::move(endpoint));
}

cl_clamd_peer_t::cl_clamd_peer_t(create_key_t, cl_inventory_t& inventory, std::shared_ptr<cl_clamd_endpoint_t> endpoint)
    : cl_clamd_connection_t(inventory, std::move(endpoint)) {
  PEER_DEBUG("created");
}

cl_clamd_peer_t::~cl_clamd_peer_t() {
  if (sieve_) sieve_->connection->stop();
  if (data_ && data_->window_granted != 0) data_->courier->release(static_cast<std::int32_t>(data_->window_granted));
  PEER_DEBUG("destroyed");
}

void cl_clamd_peer_t::start(const cl_clamd_socket_t::protocol_type& protocol, int fd) {
  cl_clamd_connection_t::start(protocol, fd);
  inventory_.add_stop_listener(*this);
}

namespace {

template <typename command_t, std::size_t count>
constexpr std::size_t longest_word(const command_t (&commands)[count]) {
  std::size_t longest = 0;
  for (const auto& command : commands) longest = std::max(longest, std::char_traits<char>::length(command.word));
  return longest;
}

}  // namespace

cl_clamd_state_t cl_clamd_peer_t::on_command() {
  // The framing gives up on a word that has grown past the longest one.
  static_assert(longest_word(commands) == cl_clamd_framing::longest_command_word,
                "the framing must wait for every command word the table knows");
  if (in_session_ && !prefixed()) {
    write_reply("Only nCMDS\\n and zCMDS\\0 are accepted inside IDSESSION. ERROR");
    write_reply("Error processing command. ERROR");
    return check_idle();
  }
  for (const auto& entry : commands)
    if (command() == entry.word) return (this->*entry.handler)();
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
  if (!has_arguments_) return reject();
  if (!ensure_sieve()) return check_idle();
  // The connection calls this while it reads for us, so it is alive then.
  const std::string word = command();
  return cl_clamd_state_t::read_arguments([this, word](boost::asio::const_buffer text) {
    return scan_path(word, std::string(static_cast<const char*>(text.data()), text.size()));
  });
}

bool cl_clamd_peer_t::ensure_sieve() {
  if (sieve_) return true;
  const std::string sieve_name = cf_lex_text(*vx::Application_descriptor()->FindValueByNumber(vx::APP_SIEVE));
  PEER_DEBUG("Creating " << sieve_name << " connection");
  const auto known_installed = inventory_.installation_monitor().query(vx::APP_SIEVE);
  if (known_installed.first && !known_installed.second) {
    write_reply("scan: ERROR " + sieve_name + " is not installed");
    return false;
  }
  auto part = std::make_unique<sieve_part_t>();
  part->connection = cl_sieve_connection_t::create(inventory_, endpoint_tag());
  std::weak_ptr<cl_clamd_peer_t> weak = shared_from_this();
  part->failure_subscription = part->connection->failure_signal.connect([weak](const boost::system::error_code& ec) {
    if (auto peer = weak.lock()) peer->on_service_failure("Sieve", ec);
  });
  part->idle_subscription = part->connection->idle_signal.connect([weak] {
    if (auto peer = weak.lock()) peer->check_idle();
  });
  sieve_ = std::move(part);
  sieve_->connection->start();
  return true;
}

cl_clamd_state_t cl_clamd_peer_t::scan_path(const std::string& word, const std::string& path) {
  const bool all_match = word == "ALLMATCHSCAN";
  auto holder = shared_from_this();
  const terminator_t terminator = terminator_;
  scan_handler_t handler = [holder, terminator, all_match](std::uint32_t job, const vx::ScanReport& report) {
    holder->on_scan_report(job, terminator, report, all_match);
  };
  if (word == "CONTSCAN")
    sieve_->connection->contscan(request_id_, path, std::move(handler));
  else
    sieve_->connection->scan(request_id_, path, std::move(handler));
  return finish_command();
}

void cl_clamd_peer_t::on_scan_report(std::uint32_t job, terminator_t terminator, const vx::ScanReport& report,
                                     bool all_match) {
  const std::string prefix = report.object() + ": ";
  for (const auto& line : report_lines(report, prefix, all_match)) write_reply(job, prefix + line.text, terminator);
}

std::vector<cf_result_line_t> cl_clamd_peer_t::report_lines(const vx::ScanReport& report, const std::string& prefix,
                                                            bool all_match) {
  auto detected = [this](vx::VirusType type) { return inventory_.config().is_detected(endpoint_tag(), type); };
  auto note_protected = [&prefix](const vx::ScanReport& item) {
    CF_INFO(prefix << "File \"" << item.object() << "\" ignored: password protected");
  };
  return cf_result_lines(report, all_match, detected, note_protected);
}

void cl_clamd_peer_t::on_service_failure(const char* service, const boost::system::error_code& ec) {
  CF_INFO("Error with " << service << ": " << ec.message());
  stop();
}

bool cl_clamd_peer_t::has_jobs() {
  return (sieve_ && sieve_->connection->job_count() != 0) ||
         (data_ && (!data_->jobs.empty() || !data_->fd_readers.empty()));
}

void cl_clamd_peer_t::on_io_error(const boost::system::error_code& ec) {
  stop();
  if (ec != boost::asio::error::eof) PEER_DEBUG("IO error occurred: " << ec.message());
}

void cl_clamd_peer_t::stop() {
  // An INSTREAM waiting for window may hold the last reference to us.
  auto holder = data_ ? std::move(data_->keep_alive) : nullptr;
  close();
  if (sieve_) sieve_->connection->stop();
  stop_courier_work();
}

void cl_clamd_peer_t::on_process_stop() {
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
