#pragma once

// A scripted fake of one of the suite's services: it listens on a Unix
// socket and speaks frames with the one client the code under test makes.
#include <sys/socket.h>

#include <boost/asio/local/stream_protocol.hpp>

#include "frames.h"
#include "run_until.h"

class scripted_service_t : public frame_peer_t {
public:
  explicit scripted_service_t(const std::string& path) : path(path), acceptor_(own_, {path}) {
    acceptor_.non_blocking(true);
  }

  // Runs io until the client connects; the one before is let go.
  void accept(boost::asio::io_context& io) {
    int client = -1;
    const int listener = acceptor_.native_handle();
    if (!run_until(io, [&] { return (client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }))
      throw std::runtime_error("nobody connected to " + path);
    reset(client);
  }

  const std::string path;

private:
  boost::asio::io_context own_;
  boost::asio::local::stream_protocol::acceptor acceptor_;
};
