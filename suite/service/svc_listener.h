#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include "svc_session.h"

// A service's listening Unix socket: accepts clients and gives each a
// session of the service's kind. The socket file is made for this
// process's user only (mode 0600): the suite's services scan whatever they
// are asked to with their own privileges, and the suite's daemon runs as
// the same user.
class svc_listener_t : public std::enable_shared_from_this<svc_listener_t> {
public:
  // Makes the session of an accepted client (not yet started).
  typedef std::function<std::shared_ptr<svc_session_t>(svc_session_t::socket_t)> factory_t;

  // service: the display name that log lines begin with ("Sieve").
  svc_listener_t(boost::asio::io_context& io, std::string path, std::string service, factory_t factory);
  ~svc_listener_t();
  svc_listener_t(const svc_listener_t&) = delete;
  svc_listener_t& operator=(const svc_listener_t&) = delete;

  // Creates the socket file and starts accepting. A socket file that no
  // process listens on is replaced; a live one, or anything else at the
  // path, is refused. Throws cf_system_error_t naming the failed step.
  void start();
  // Stops accepting, removes the socket file and closes every session.
  // Safe to call twice.
  void stop();

private:
  void clear_path();
  void do_accept();
  void on_accept(const boost::system::error_code& ec, svc_session_t::socket_t socket);
  void on_retry(const boost::system::error_code& ec);
  void remove_file();

  const std::string path_;
  const std::string service_;
  factory_t factory_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
  // Accepting again after a failure (out of descriptors, say) waits a
  // little, or the loop would spin while the cause lasts.
  boost::asio::steady_timer retry_timer_;
  std::vector<std::weak_ptr<svc_session_t>> sessions_;
  bool stopped_ = false;
  // Identity of the socket file we made, so that only that one is removed.
  bool bound_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
};
