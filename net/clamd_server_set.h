#pragma once

#include <map>
#include <memory>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/core/noncopyable.hpp>

class cl_inventory_t;
class cl_clamd_server_t;

// The listening servers of the process, kept in step with the configured
// endpoints: unchanged endpoints keep running untouched, new ones are
// opened, removed ones closed.
class cl_clamd_server_set_t : private boost::noncopyable {
public:
  // Starts with no servers; reconfigure opens them.
  explicit cl_clamd_server_set_t(cl_inventory_t& inventory);
  // Shuts every server down.
  ~cl_clamd_server_set_t();

  // Applies the endpoints of inventory.config(): Unix-domain ones first,
  // then TCP. An endpoint configured under several tags goes to the first
  // tag in byte order; the others are warned about and ignored. Throws when
  // an endpoint cannot be opened or built, after shutting every server down.
  void reconfigure();

private:
  template <class Protocol>
  using servers_t = std::map<typename Protocol::endpoint, std::shared_ptr<cl_clamd_server_t>>;

  // Brings one family's map in line with the configuration; on failure
  // shuts down what it kept or opened and throws on.
  template <class Protocol>
  void apply(servers_t<Protocol>& current);
  void shutdown_all();

  cl_inventory_t& inventory_;
  servers_t<boost::asio::local::stream_protocol> local_servers_;
  servers_t<boost::asio::ip::tcp> tcp_servers_;
};
