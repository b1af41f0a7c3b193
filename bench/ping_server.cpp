// The least a server can do to answer PING, as the floor the daemon's
// figures are compared with: one thread, epoll, accept4, one read and one
// gathered write per wakeup. Speaks the same framing as the daemon for the
// commands the benchmark sends: PING (bare, nPING\n, zPING\0), and
// IDSESSION sessions whose replies carry "<n>: ".
//
//   ping_server unix PATH | ping_server tcp   (prints the port, then "listening")

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

namespace {

struct client_t {
  std::string in;
  bool session = false;
  unsigned id = 0;
};

int listen_on(int argc, char** argv) {
  if (argc >= 3 && std::strcmp(argv[1], "unix") == 0) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, argv[2], sizeof a.sun_path - 1);
    ::unlink(argv[2]);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0) std::exit(1);
    return fd;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, SOMAXCONN) != 0) std::exit(1);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  std::printf("%d\n", ntohs(a.sin_port));
  return fd;
}

// Answers every complete command in c.in into out; false once the
// connection is to be closed after out is sent.
bool serve(client_t& c, std::string& out) {
  std::size_t pos = 0;
  bool keep = true;
  while (keep && pos < c.in.size()) {
    const char first = c.in[pos];
    const char term = first == 'z' ? '\0' : '\n';
    const std::size_t start = (first == 'z' || first == 'n') ? pos + 1 : pos;
    const std::size_t end = c.in.find(term, start);
    if (end == std::string::npos) break;
    const std::string word = c.in.substr(start, end - start);
    pos = end + 1;
    if (word == "IDSESSION") {
      c.session = true;
      continue;
    }
    if (word == "END") return false;
    if (c.session) out += std::to_string(++c.id) + ": ";
    out += word == "PING" ? "PONG" : "UNKNOWN COMMAND";
    out += term;
    keep = c.session;
  }
  c.in.erase(0, pos);
  return keep;
}

}  // namespace

int main(int argc, char** argv) {
  const int listener = listen_on(argc, argv);
  std::printf("listening\n");
  std::fflush(stdout);
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listener;
  ::epoll_ctl(ep, EPOLL_CTL_ADD, listener, &ev);
  std::unordered_map<int, client_t> clients;
  epoll_event events[256];
  char buf[65536];
  std::string out;
  for (;;) {
    const int n = ::epoll_wait(ep, events, 256, -1);
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == listener) {
        int c;
        while ((c = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC)) >= 0) {
          epoll_event cev{};
          cev.events = EPOLLIN;
          cev.data.fd = c;
          ::epoll_ctl(ep, EPOLL_CTL_ADD, c, &cev);
          clients[c];
        }
        continue;
      }
      client_t& c = clients[fd];
      const ssize_t got = ::read(fd, buf, sizeof buf);
      if (got <= 0) {
        ::close(fd);
        clients.erase(fd);
        continue;
      }
      c.in.append(buf, static_cast<std::size_t>(got));
      out.clear();
      const bool keep = serve(c, out);
      // Replies are small; a full socket buffer would only drop them here,
      // which the load generator would notice as a stall.
      if (!out.empty()) (void)::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
      if (!keep) {
        ::close(fd);
        clients.erase(fd);
      }
    }
  }
}
