#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <boost/signals2/connection.hpp>

#include "clamd_connection.h"

namespace vx {
class ScanReport;
}
class cl_inventory_t;
class cl_clamd_socket_t;
class cl_sieve_connection_t;

// The clamd protocol of one client: the command table, IDSESSION sessions,
// the replies that need no scanning, and what ends the connection.
class cl_clamd_peer_t : public cl_clamd_connection_t, public std::enable_shared_from_this<cl_clamd_peer_t> {
public:
  // Creates the peer of one accepted client of the endpoint with this tag.
  static std::shared_ptr<cl_clamd_peer_t> create(cl_inventory_t& inventory, const std::string& endpoint_tag);
  ~cl_clamd_peer_t() override;

  // Starts serving the accepted socket and subscribes to the daemon's stop.
  void start(std::shared_ptr<cl_clamd_socket_t> socket);

  // "ClamAV <version>/<build>/<local time> (Vemra ClamD)".
  static std::string version_text();

protected:
  cl_clamd_state_t on_command() override;
  void on_io_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cl_clamd_connection_t> self() override { return shared_from_this(); }
  void stop() override;
  bool has_jobs() override;

private:
  typedef cl_clamd_state_t (cl_clamd_peer_t::*handler_t)();
  struct command_t {
    const char* word;
    handler_t handler;
  };
  static const command_t commands[];

  cl_clamd_peer_t(cl_inventory_t& inventory, const std::string& endpoint_tag);

  bool prefixed() const { return terminator_ != unprefixed; }
  cl_clamd_state_t reject();
  cl_clamd_state_t on_end();
  cl_clamd_state_t on_idsession();
  cl_clamd_state_t on_ping();
  cl_clamd_state_t on_reload();
  cl_clamd_state_t on_scan();
  // The client's Sieve connection, created on its first path scan; false
  // (after the error reply) when Sieve is known not to be installed.
  bool ensure_sieve();
  cl_clamd_state_t scan_path(const std::string& word, const std::string& path);
  void on_scan_report(std::uint32_t job, terminator_t terminator, const vx::ScanReport& report, bool all_match);
  // A scanning service failed: the client's work is lost, so it goes too.
  void on_service_failure(const char* service, const boost::system::error_code& ec);
  cl_clamd_state_t on_data_command();
  cl_clamd_state_t on_shutdown();
  cl_clamd_state_t on_stats();
  cl_clamd_state_t on_version();
  cl_clamd_state_t on_versioncommands();
  void shutting_down();

  std::uint32_t stream_max_length_;
  boost::signals2::scoped_connection stop_subscription_;
  std::shared_ptr<cl_sieve_connection_t> sieve_;
  boost::signals2::scoped_connection sieve_failure_subscription_;
  boost::signals2::scoped_connection sieve_idle_subscription_;
};
