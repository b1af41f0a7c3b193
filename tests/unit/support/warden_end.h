#pragma once

// The supervisor's end of the daemon's link, for tests that play Warden:
// a socketpair whose daemon_fd goes to the inventory or the Warden link,
// while the test sends and receives frames on the other end.
#include "frames.h"
#include "warden_clamd_ipc.pb.h"

struct warden_end_t : frame_peer_t {
  warden_end_t() : warden_end_t(socket_pair()) {}

  // The next message from the daemon, running the loop until it is whole.
  vx::Clamd2WardenMessage receive(boost::asio::io_context& io) {
    return frame_peer_t::receive<vx::Clamd2WardenMessage>(io);
  }

  // Taken over (and closed) by the daemon's side.
  int daemon_fd;

private:
  explicit warden_end_t(std::array<int, 2> fds) : frame_peer_t(fds[1]), daemon_fd(fds[0]) {}
};
