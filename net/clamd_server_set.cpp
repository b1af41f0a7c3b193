#include "clamd_server_set.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "clamd_acceptor.h"
#include "clamd_server.h"
#include "config.h"
#include "inventory.h"
#include "log.h"
#include "socket_path.h"

namespace {

void endpoints_of(const cl_config_t& config, const std::string& tag,
                  std::vector<boost::asio::local::stream_protocol::endpoint>& out) {
  config.local_endpoints(tag, out);
}

void endpoints_of(const cl_config_t& config, const std::string& tag, std::vector<boost::asio::ip::tcp::endpoint>& out) {
  config.tcp_endpoints(tag, out);
}

// What two endpoints share when they are one socket, whatever their
// spelling: binding both would have the second take the first's address.
std::string identity(const boost::asio::local::stream_protocol::endpoint& endpoint) {
  return cf_socket_path_identity(endpoint.path());
}

std::string identity(const boost::asio::ip::tcp::endpoint& endpoint) {
  return cf_ip_address_identity(endpoint.address()) + " " + std::to_string(endpoint.port());
}

}  // namespace

cl_clamd_server_set_t::cl_clamd_server_set_t(cl_inventory_t& inventory) : inventory_(inventory) {}

cl_clamd_server_set_t::~cl_clamd_server_set_t() { shutdown_all(); }

void cl_clamd_server_set_t::reconfigure() {
  try {
    apply<boost::asio::local::stream_protocol>(local_servers_);
    apply<boost::asio::ip::tcp>(tcp_servers_);
  } catch (...) {
    // The process is about to give up on this configuration: leave no
    // endpoint of it, or of the previous one, half in service.
    shutdown_all();
    throw;
  }
}

template <class Protocol>
void cl_clamd_server_set_t::apply(servers_t<Protocol>& current) {
  typedef typename Protocol::endpoint endpoint_t;
  typedef cl_acceptor_traits_t<Protocol> traits_t;

  // Every endpoint by tag, tags in byte order. Read once, so that a bad
  // entry throws before anything has changed.
  const cl_config_t& config = inventory_.config();
  std::vector<std::pair<std::string, endpoint_t>> configured;
  for (const std::string& tag : config.tags()) {
    std::vector<endpoint_t> endpoints;
    endpoints_of(config, tag, endpoints);
    for (const auto& endpoint : endpoints) configured.emplace_back(tag, endpoint);
  }

  // The running servers by what they listen on, however it was spelled
  // when they were opened: a path written another way is still their
  // socket, and reopening it would drop their clients.
  std::map<std::string, typename servers_t<Protocol>::iterator> running;
  for (auto it = current.begin(); it != current.end(); ++it) running.emplace(identity(it->first), it);

  servers_t<Protocol> next;
  try {
    std::set<std::string> used;
    std::vector<std::pair<std::string, endpoint_t>> to_open;
    for (const auto& entry : configured) {
      const std::string id = identity(entry.second);
      if (!used.insert(id).second) {
        CF_WARNING("Socket " << traits_t::name(entry.second) << " (for " << entry.first
                             << ") has already been used, ignored");
        continue;
      }
      const auto found = running.find(id);
      const auto kept = found == running.end() ? current.end() : found->second;
      if (kept == current.end() || kept->second->tag() != entry.first || !kept->second->is_open()) {
        to_open.push_back(entry);
        continue;
      }
      kept->second->refresh();
      next.insert(*kept);
      current.erase(kept);
    }
    // Closed before the new servers open: an endpoint that moved to another
    // tag is bound again below.
    for (const auto& entry : current) entry.second->shutdown();
    for (const auto& entry : to_open) {
      auto acceptor = std::make_shared<cl_clamd_asio_acceptor_t<Protocol>>(inventory_.io_context(), entry.second);
      acceptor->open();
      next.emplace(entry.second, cl_clamd_server_t::create(inventory_, acceptor, entry.first));
    }
  } catch (...) {
    for (const auto& entry : next) entry.second->shutdown();
    throw;
  }
  current.swap(next);
}

void cl_clamd_server_set_t::shutdown_all() {
  for (const auto& entry : local_servers_) entry.second->shutdown();
  for (const auto& entry : tcp_servers_) entry.second->shutdown();
  local_servers_.clear();
  tcp_servers_.clear();
}
