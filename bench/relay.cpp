// The reference of bench/data_scan_bench.py: the bytes of an INSTREAM
// pushed through two plain socket hops (client -> relay -> sink) with
// nothing between them but read and write, 64 KiB at a time, one thread
// per connection. It does what the daemon's data path must at least do
// (take bytes off one socket, put them on another) and nothing else.
//
//   relay sink PATH                 reads each connection to its end, answers "stream: OK"
//   relay relay LISTEN SINK_PATH    forwards each connection to the sink, and the answer back
//   relay push TARGET SIZE CHUNK CLIENTS REQUESTS REPLY [half-close]
//       INSTREAMs of SIZE bytes in CHUNK-byte pieces, REQUESTS of them from
//       CLIENTS threads; prints "upload S total S failed N": the seconds to
//       the last byte written (one request) and to the last reply, and how
//       many replies were not REPLY.
//
// LISTEN and TARGET are a Unix socket path, or a TCP port of 127.0.0.1
// (listening on 0 lets the system pick; the port is printed).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t piece = 65536;

[[noreturn]] void die(const char* what) {
  std::perror(what);
  std::exit(1);
}

int make_socket(const std::string& where, bool listening) {
  sockaddr_storage address{};
  socklen_t size;
  if (where[0] == '/') {
    auto& un = reinterpret_cast<sockaddr_un&>(address);
    un.sun_family = AF_UNIX;
    std::strncpy(un.sun_path, where.c_str(), sizeof un.sun_path - 1);
    size = sizeof un;
    if (listening) ::unlink(where.c_str());
  } else {
    auto& in = reinterpret_cast<sockaddr_in&>(address);
    in.sin_family = AF_INET;
    in.sin_port = htons(static_cast<std::uint16_t>(std::stoi(where)));
    in.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    size = sizeof in;
  }
  const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  const auto* sa = reinterpret_cast<const sockaddr*>(&address);
  if (!listening) {
    if (::connect(fd, sa, size) != 0) die("connect");
    return fd;
  }
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd, sa, size) != 0 || ::listen(fd, 64) != 0) die("bind/listen");
  if (where[0] != '/') {
    sockaddr_in bound{};
    socklen_t n = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &n);
    std::printf("%u\n", ntohs(bound.sin_port));
  }
  std::printf("listening\n");
  std::fflush(stdout);
  return fd;
}

bool write_all(int fd, const char* data, std::size_t size) {
  while (size != 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies from one socket to the other until the first one ends.
void copy(int from, int to) {
  std::vector<char> buffer(piece);
  ssize_t n;
  while ((n = ::read(from, buffer.data(), buffer.size())) > 0)
    if (!write_all(to, buffer.data(), static_cast<std::size_t>(n))) return;
}

template <class Serve>
void serve_forever(int listener, Serve serve) {
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) die("accept");
    std::thread([fd, serve] {
      serve(fd);
      ::close(fd);
    }).detach();
  }
}

void sink(int fd) {
  std::vector<char> buffer(piece);
  while (::read(fd, buffer.data(), buffer.size()) > 0) {
  }
  static const char reply[] = "stream: OK";
  write_all(fd, reply, sizeof reply);
}

void relay(int client, const std::string& sink_path) {
  const int next = make_socket(sink_path, false);
  copy(client, next);
  ::shutdown(next, SHUT_WR);
  copy(next, client);
  ::close(next);
}

// One INSTREAM; true when the answer is the expected one.
bool instream(const std::string& target, std::size_t size, std::size_t chunk, const std::string& expected,
              bool half_close, const std::vector<char>& data, double* upload,
              std::chrono::steady_clock::time_point start) {
  const int fd = make_socket(target, false);
  bool ok = write_all(fd, "zINSTREAM", 10);
  for (std::size_t sent = 0; ok && sent < size;) {
    const std::uint32_t n = static_cast<std::uint32_t>(std::min(chunk, size - sent));
    const std::uint32_t prefix = htonl(n);
    ok = write_all(fd, reinterpret_cast<const char*>(&prefix), 4) && write_all(fd, data.data(), n);
    sent += n;
  }
  const std::uint32_t end = 0;
  ok = ok && write_all(fd, reinterpret_cast<const char*>(&end), 4);
  if (!ok) std::fprintf(stderr, "%s: sending: %s\n", target.c_str(), std::strerror(errno));
  if (upload) *upload = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (half_close) ::shutdown(fd, SHUT_WR);
  std::string reply;
  char c;
  // What the daemon said before it dropped us, if anything, tells why.
  while (::read(fd, &c, 1) == 1 && c != '\0') reply += c;
  ::close(fd);
  if (!ok || reply != expected) std::fprintf(stderr, "%s: reply: %s\n", target.c_str(), reply.c_str());
  return ok && reply == expected;
}

void push(char** argv, int argc) {
  // A daemon that drops the connection is a failed request, not our end.
  std::signal(SIGPIPE, SIG_IGN);
  const std::string target = argv[2];
  const std::size_t size = std::stoull(argv[3]), chunk = std::stoull(argv[4]);
  const int clients = std::stoi(argv[5]), requests = std::stoi(argv[6]);
  const std::string expected = argv[7];
  const bool half_close = argc > 8 && std::string(argv[8]) == "half-close";
  // Printable and irregular, so no scanner takes it for a known format.
  std::vector<char> data(chunk);
  std::uint32_t x = 2463534242u;
  for (auto& c : data) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    c = static_cast<char>(' ' + x % 95);
  }
  std::atomic<int> next{0}, failed{0};
  double upload = 0;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i)
    threads.emplace_back([&] {
      while (next++ < requests)
        if (!instream(target, size, chunk, expected, half_close, data, requests == 1 ? &upload : nullptr, start)) ++failed;
    });
  for (auto& t : threads) t.join();
  const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("upload %.6f total %.6f failed %d\n", requests == 1 ? upload : total, total, failed.load());
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "sink" && argc == 3) serve_forever(make_socket(argv[2], true), sink);
  if (role == "relay" && argc == 4) {
    const std::string sink_path = argv[3];
    serve_forever(make_socket(argv[2], true), [sink_path](int fd) { relay(fd, sink_path); });
  }
  if (role == "push" && argc >= 8) {
    push(argv, argc);
    return 0;
  }
  std::fprintf(stderr, "usage: relay sink PATH | relay LISTEN SINK_PATH | push TARGET SIZE CHUNK CLIENTS REQUESTS REPLY\n");
  return 2;
}
