#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

#include "clamd_config.pb.h"
#include "scan_report.pb.h"

// The configuration last received from the supervisor, answered per
// listening endpoint: a value in the endpoint's own record wins over the
// daemon-wide one. Detection switches come from endpoint records only.
class cl_config_t {
public:
  typedef boost::signals2::signal_type<void(), boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type
      changed_signal_t;

  // Replaces the whole configuration and raises changed.
  void update(const vx::ClamdConfig& config);

  // Effective settings for the clients of the endpoint with this tag.
  std::uint32_t read_timeout(const std::string& tag) const;
  std::uint32_t stream_max_length(const std::string& tag) const;
  std::uint32_t scan_timeout(const std::string& tag) const;
  bool heuristic_analysis(const std::string& tag) const;
  std::uint32_t packer_max_level(const std::string& tag) const;
  std::uint32_t archive_max_level(const std::string& tag) const;
  std::uint32_t mail_max_level(const std::string& tag) const;
  std::uint32_t container_max_level(const std::string& tag) const;
  std::uint32_t max_compression_ratio(const std::string& tag) const;

  // False when the endpoint switched reports of this threat type off.
  bool is_detected(const std::string& tag, vx::VirusType type) const;

  // The tags of the endpoints that name a socket.
  std::set<std::string> tags() const;

  // Appends the endpoint's Unix-domain socket, if it has one. Throws for a
  // path too long for a socket address.
  void local_endpoints(const std::string& tag, std::vector<boost::asio::local::stream_protocol::endpoint>& out) const;
  // Appends the endpoint's TCP socket, if it has one. Throws for an address
  // that does not parse or a port above 65535.
  void tcp_endpoints(const std::string& tag, std::vector<boost::asio::ip::tcp::endpoint>& out) const;

  // The record last applied.
  const vx::ClamdConfig& config() const { return config_; }

  // Raised at the end of every update.
  changed_signal_t changed;

private:
  // The endpoint's record, or null when the tag has none.
  const vx::ClamdEndpointConfig* endpoint(const std::string& tag) const;

  vx::ClamdConfig config_;
  std::map<std::string, vx::ClamdEndpointConfig> endpoints_;
  std::set<std::pair<std::string, vx::VirusType>> switched_off_;
};

// Sets the seven scan limits both scanning services take, as in force for
// the endpoint, on either service's options message.
template <class Options>
void cl_set_scan_limits(const cl_config_t& config, const std::string& tag, Options& options) {
  options.set_scan_timeout_ms(config.scan_timeout(tag));
  options.set_heuristic_analysis(config.heuristic_analysis(tag));
  options.set_packer_max_level(config.packer_max_level(tag));
  options.set_archive_max_level(config.archive_max_level(tag));
  options.set_mail_max_level(config.mail_max_level(tag));
  options.set_container_max_level(config.container_max_level(tag));
  options.set_max_compression_ratio(config.max_compression_ratio(tag));
}
