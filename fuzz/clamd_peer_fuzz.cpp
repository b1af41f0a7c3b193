// A whole clamd client session against the daemon's peer, without a
// listening socket: the peer serves one end of a socketpair made in this
// process and the input is the client's byte stream, sent in pieces whose
// size the first byte chooses, then closed. Everything runs on one event
// loop in this thread. The file service counts as not installed, so path
// scans get their error at once; the data service is installed and never
// connected, with window credit topped up for every input, so INSTREAM
// chunks are read, counted and bounded as against a live service. Once the
// client has closed, the peer must go within a bounded time: nothing a
// client sends may keep its connection, or its descriptor, alive.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "application.pb.h"
#include "clamd_config.pb.h"
#include "clamd_peer.h"
#include "config.h"
#include "courier_connection.h"
#include "fuzz_check.h"
#include "installation_monitor.h"
#include "inventory.h"
#include "log.h"

namespace {

constexpr char tag[] = "fz";
// The Courier window a client may use in one input.
constexpr std::int32_t window = 1 << 20;

// Takes whatever is waiting on a descriptor and drops it.
void drain(int fd) {
  char buffer[4096];
  while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

class daemon_t {
public:
  daemon_t() : inventory_(pair(warden_)) {
    cflog::set_threshold(cf_log_t::error + 1);
    vx::ClamdConfig config;
    config.set_read_timeout(60000);
    auto* endpoint = config.mutable_endpoint()->add_item();
    endpoint->set_tag(tag);
    endpoint->mutable_clamd_socket()->set_local("/nonexistent/fuzz.sock");
    endpoint->set_stream_max_length(256 << 10);
    inventory_.config().update(config);
    google::protobuf::RepeatedPtrField<vx::AppInfo> apps;
    vx::AppInfo* root = apps.Add();
    root->set_app(vx::APP_WARDEN);
    root->set_pid(1);
    root->MutableExtension(vx::root_info)->add_installed_app()->set_app(vx::APP_COURIER);
    inventory_.installation_monitor().on_appinfo(apps);
  }

  // Serves one client whose stream is data, sent in pieces of piece bytes.
  void serve(const std::uint8_t* data, std::size_t size, std::size_t piece) {
    auto& courier = inventory_.courier();
    if (courier.window() < window) courier.release(window - courier.window());
    int fds[2];
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    const int client = fds[1];
    std::weak_ptr<cl_clamd_peer_t> alive;
    // Non-blocking, as accepted sockets are.
    FUZZ_CHECK(::fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
    {
      auto peer = cl_clamd_peer_t::create(inventory_, cl_clamd_endpoint_t::create(inventory_, tag));
      alive = peer;
      peer->start(boost::asio::local::stream_protocol(), fds[0]);
    }
    send(client, data, size, piece);
    ::shutdown(client, SHUT_WR);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!alive.expired() && std::chrono::steady_clock::now() < deadline) {
      io().run_one_for(std::chrono::milliseconds(10));
      drain(client);
    }
    FUZZ_CHECK(alive.expired());
    ::close(client);
    io().poll();
    drain(warden_[1]);
  }

private:
  static int pair(int (&fds)[2]) {
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
    return fds[0];
  }
  boost::asio::io_context& io() { return inventory_.io_context(); }

  // Sends while the peer reads, letting it run between pieces; stops
  // early once the peer has closed, or has stopped reading for good.
  void send(int client, const std::uint8_t* data, std::size_t size, std::size_t piece) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (std::size_t at = 0; at < size && std::chrono::steady_clock::now() < deadline;) {
      const std::size_t n = std::min(piece, size - at);
      const ssize_t sent = ::send(client, data + at, n, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0 && errno != EAGAIN) return;
      if (sent > 0) {
        at += static_cast<std::size_t>(sent);
        io().poll();
      } else {
        io().run_one_for(std::chrono::milliseconds(10));
      }
      drain(client);
    }
  }

  int warden_[2];
  cl_inventory_t inventory_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static daemon_t daemon;
  if (size == 0) return 0;
  daemon.serve(data + 1, size - 1, data[0] % 64 + 1u);
  return 0;
}
