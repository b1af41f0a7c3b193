#pragma once

#include <chrono>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/system/error_code.hpp>

class cl_inventory_t;
class cl_clamd_acceptor_t;
class cl_clamd_endpoint_t;

// One listening endpoint: waits for connections, takes those waiting a
// few at a time, and hands every accepted socket to a new protocol peer
// carrying the endpoint's tag.
class cl_clamd_server_t : public std::enable_shared_from_this<cl_clamd_server_t> {
public:
  // What a failed accept calls for.
  enum class retry_t {
    now,    // the error belonged to one connection; take the next
    later,  // out of descriptors or memory; try again after retry_delay
    never,  // the listening socket is unusable; shut down
  };
  static retry_t retry_of(const boost::system::error_code& ec);
  // Pause between accepts while descriptors are exhausted; retrying at once
  // would spin, as the connection stays in the backlog.
  static constexpr std::chrono::milliseconds retry_delay{100};
  // Connections taken in one turn of the event loop: a backlog taken in
  // one go spares a wait per connection, and the clients already served
  // still get their turn.
  static constexpr int accepts_per_turn = 16;

  // Creates the server of an open acceptor and starts accepting.
  static std::shared_ptr<cl_clamd_server_t> create(cl_inventory_t& inventory,
                                                   std::shared_ptr<cl_clamd_acceptor_t> acceptor,
                                                   const std::string& tag);
  ~cl_clamd_server_t();

  // Stops accepting and closes the endpoint. Safe to call twice.
  void shutdown();
  // False once shut down, or once the acceptor failed.
  bool is_open() const;
  // The tag handed to every peer of this endpoint.
  const std::string& tag() const;
  // Takes the endpoint's settings from the configuration now in force, for
  // the clients accepted from now on; those already served keep theirs.
  void refresh();

private:
  cl_clamd_server_t(cl_inventory_t& inventory, std::shared_ptr<cl_clamd_acceptor_t> acceptor, const std::string& tag);

  void start_accept();
  void handle_acceptable(const boost::system::error_code& ec);
  void accept_waiting();
  // Logs a failed accept or wait; true when the next connection may be
  // taken at once.
  bool accept_failed(const boost::system::error_code& ec);
  void retry_later();
  void handle_retry(const boost::system::error_code& ec);

  cl_inventory_t& inventory_;
  std::shared_ptr<cl_clamd_endpoint_t> endpoint_;
  std::shared_ptr<cl_clamd_acceptor_t> acceptor_;
  boost::asio::steady_timer retry_timer_;
  bool shut_down_ = false;
};
