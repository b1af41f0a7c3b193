#include "config.h"

#include <sys/un.h>

#include <boost/asio/ip/address.hpp>

#include "error.pb.h"
#include "proto_error_category.h"
#include "system_error.h"

void cl_config_t::update(const vx::ClamdConfig& config) {
  config_ = config;
  endpoints_.clear();
  switched_off_.clear();
  for (const auto& item : config_.endpoint().item()) {
    if (!item.has_clamd_socket()) continue;
    endpoints_[item.tag()] = item;
    const std::pair<bool, vx::VirusType> flags[] = {
        {item.detect_suspicious(), vx::SE_UNKNOWN_VIRUS}, {item.detect_adware(), vx::SE_ADWARE},
        {item.detect_dialers(), vx::SE_DIALER},           {item.detect_jokes(), vx::SE_JOKE},
        {item.detect_riskware(), vx::SE_RISKWARE},        {item.detect_hacktools(), vx::SE_HACKTOOL},
    };
    for (const auto& flag : flags)
      if (!flag.first) switched_off_.emplace(item.tag(), flag.second);
  }
  changed();
}

const vx::ClamdEndpointConfig* cl_config_t::endpoint(const std::string& tag) const {
  auto it = endpoints_.find(tag);
  return it == endpoints_.end() ? nullptr : &it->second;
}

// The endpoint's own value when its record sets the field, otherwise the
// daemon-wide field of the same name (0 or false when absent).
#define CL_CONFIG_SETTING(type, name)                               \
  type cl_config_t::name(const std::string& tag) const {           \
    const vx::ClamdEndpointConfig* record = endpoint(tag);          \
    if (record && record->has_##name()) return record->name();      \
    return config_.name();                                          \
  }

CL_CONFIG_SETTING(std::uint32_t, read_timeout)
CL_CONFIG_SETTING(std::uint32_t, stream_max_length)
CL_CONFIG_SETTING(std::uint32_t, scan_timeout)
CL_CONFIG_SETTING(bool, heuristic_analysis)
CL_CONFIG_SETTING(std::uint32_t, packer_max_level)
CL_CONFIG_SETTING(std::uint32_t, archive_max_level)
CL_CONFIG_SETTING(std::uint32_t, mail_max_level)
CL_CONFIG_SETTING(std::uint32_t, container_max_level)
CL_CONFIG_SETTING(std::uint32_t, max_compression_ratio)

#undef CL_CONFIG_SETTING

bool cl_config_t::is_detected(const std::string& tag, vx::VirusType type) const {
  return switched_off_.count(std::make_pair(tag, type)) == 0;
}

std::set<std::string> cl_config_t::tags() const {
  std::set<std::string> result;
  for (const auto& entry : endpoints_) result.insert(entry.first);
  return result;
}

void cl_config_t::local_endpoints(const std::string& tag,
                                  std::vector<boost::asio::local::stream_protocol::endpoint>& out) const {
  const vx::ClamdEndpointConfig* record = endpoint(tag);
  if (!record || !record->clamd_socket().has_local()) return;
  const std::string& path = record->clamd_socket().local();
  // sockaddr_un holds 107 bytes and the terminator; asio would throw a
  // bare "Invalid argument" without naming the path.
  if (path.size() >= sizeof(sockaddr_un::sun_path))
    throw cf_system_error_t(boost::system::errc::make_error_code(boost::system::errc::filename_too_long),
                            "endpoint " + tag + ": " + path);
  out.emplace_back(path);
}

void cl_config_t::tcp_endpoints(const std::string& tag, std::vector<boost::asio::ip::tcp::endpoint>& out) const {
  const vx::ClamdEndpointConfig* record = endpoint(tag);
  if (!record || !record->clamd_socket().has_ip()) return;
  const vx::IPSocket& ip = record->clamd_socket().ip();
  boost::system::error_code ec;
  const auto address = boost::asio::ip::make_address(ip.address(), ec);
  if (ec) throw cf_system_error_t(ec, "endpoint " + tag + ": address " + ip.address());
  if (ip.port() > 65535)
    throw cf_system_error_t(vx::make_error_code(vx::EC_INVALID_ARGUMENT),
                            "endpoint " + tag + ": port " + std::to_string(ip.port()));
  out.emplace_back(address, static_cast<unsigned short>(ip.port()));
}
