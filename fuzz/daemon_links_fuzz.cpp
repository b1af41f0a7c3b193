// The daemon's IPC links receiving arbitrary frames: its tie to Warden,
// and its connections to Sieve and Courier, each reached as in service
// (Warden hands out the socket path, the link connects to a listener in
// this process). The first byte picks the link; the rest is the byte
// stream its peer sends, then closes. Everything runs on one event loop in
// this thread (Sieve's path producer has a thread of its own). Whatever
// arrives, the link must end by itself once its peer has closed.
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

#include "application.pb.h"
#include "clamd_config.pb.h"
#include "config.h"
#include "courier_connection.h"
#include "fuzz_check.h"
#include "installation_monitor.h"
#include "inventory.h"
#include "log.h"
#include "sieve_connection.h"
#include "warden_clamd_ipc.pb.h"
#include "warden_tie.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr char tag[] = "fz";

void drain(int fd) {
  char buffer[4096];
  while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
  }
}

void send_all(int fd, const std::uint8_t* data, std::size_t size) {
  FUZZ_CHECK(::send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size));
}

// One frame as every link of the suite sends it.
std::string frame(const google::protobuf::MessageLite& message) {
  const std::string body = message.SerializeAsString();
  const auto n = static_cast<std::uint32_t>(body.size());
  const char header[4] = {char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
  return std::string(header, 4) + body;
}

int socket_pair(int (&fds)[2]) {
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  return fds[0];
}

// The daemon with a listener that stands for both services, and the
// supervisor's end of its Warden link.
class daemon_t {
public:
  daemon_t() : inventory_(socket_pair(warden_)) {
    cflog::set_threshold(cf_log_t::error + 1);
    char dir[] = "/tmp/vemra-fuzz-XXXXXX";
    FUZZ_CHECK(::mkdtemp(dir));
    dir_ = dir;
    std::ofstream(dir_ + "/file") << "scanned by Sieve";
    listener_ = listen(dir_ + "/service.sock");
    vx::ClamdConfig config;
    auto* endpoint = config.mutable_endpoint()->add_item();
    endpoint->set_tag(tag);
    endpoint->mutable_clamd_socket()->set_local(dir_ + "/clamd.sock");
    inventory_.config().update(config);
  }
  ~daemon_t() {
    ::close(listener_);
    for (const char* name : {"/file", "/service.sock", ""}) ::remove((dir_ + name).c_str());
  }

  void courier(const std::uint8_t* data, std::size_t size) {
    auto courier = std::make_unique<cl_courier_connection_t>(inventory_, clock_type::duration::zero());
    bool failed = false;
    courier->failure_signal.connect([&](const boost::system::error_code&) { failed = true; });
    auto ignore = [](std::uint32_t, const vx::ScanReport&) {};
    for (std::uint32_t job : {courier->init_job(ignore), courier->init_job(ignore)}) {
      courier->send_data(job, "data", 4);
      courier->scan_request(job, cr::ScanOptions());
    }
    answer(vx::Warden2ClamdMessage::GET_COURIER_RESPONSE);
    serve(data, size, [&] { return failed; });
  }

  void sieve(const std::uint8_t* data, std::size_t size) {
    auto sieve = cl_sieve_connection_t::create(inventory_, tag);
    bool failed = false;
    sieve->failure_signal.connect([&](const boost::system::error_code&) { failed = true; });
    sieve->start();
    sieve->scan(1, dir_ + "/file", [](std::uint32_t, const vx::ScanReport&) {});
    sieve->contscan(2, dir_, [](std::uint32_t, const vx::ScanReport&) {});
    answer(vx::Warden2ClamdMessage::GET_SIEVE_RESPONSE);
    serve(data, size, [&] { return failed; });
    sieve->stop();
    io().poll();
  }

  // Warden's tie, on a link of its own; its faults end the process, which
  // is what the exception out of the event loop stands for.
  void warden(const std::uint8_t* data, std::size_t size) {
    boost::asio::io_context io;
    int fds[2];
    std::weak_ptr<cl_warden_tie_t> alive = cl_warden_tie_t::create(io, socket_pair(fds));
    send_all(fds[1], data, size);
    ::shutdown(fds[1], SHUT_WR);
    try {
      io.run();
    } catch (vx::ErrorCode code) {
      FUZZ_CHECK(code == vx::EC_MONITOR_IPC_ERROR);
    }
    io.restart();
    io.poll();
    FUZZ_CHECK(alive.expired());
    ::close(fds[1]);
  }

private:
  static int listen(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    FUZZ_CHECK(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    FUZZ_CHECK(::listen(fd, 4) == 0);
    return fd;
  }
  boost::asio::io_context& io() { return inventory_.io_context(); }

  void answer(vx::Warden2ClamdMessage::MessageTag what) {
    vx::Warden2ClamdMessage message;
    message.set_tag(what);
    message.set_socket_path(dir_ + "/service.sock");
    const std::string bytes = frame(message);
    send_all(warden_[1], reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  }

  // Accepts the link's connection, sends it the stream and closes; runs
  // until the link has failed (the close is a failure too).
  void serve(const std::uint8_t* data, std::size_t size, const std::function<bool()>& failed) {
    const auto deadline = clock_type::now() + std::chrono::seconds(5);
    int service = -1;
    while (service < 0 && !failed() && clock_type::now() < deadline) {
      io().run_one_for(std::chrono::milliseconds(10));
      service = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    }
    FUZZ_CHECK(service >= 0);
    send_all(service, data, size);
    ::shutdown(service, SHUT_WR);
    while (!failed() && clock_type::now() < deadline) {
      io().run_one_for(std::chrono::milliseconds(10));
      drain(service);
    }
    FUZZ_CHECK(failed());
    ::close(service);
    drain(warden_[1]);
  }

  int warden_[2];
  cl_inventory_t inventory_;
  std::string dir_;
  int listener_ = -1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static daemon_t daemon;
  // What a socket's buffer takes at once.
  if (size == 0 || size > (64 << 10)) return 0;
  switch (data[0] % 3) {
    case 0: daemon.warden(data + 1, size - 1); break;
    case 1: daemon.sieve(data + 1, size - 1); break;
    case 2: daemon.courier(data + 1, size - 1); break;
  }
  return 0;
}
