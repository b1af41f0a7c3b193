// The one load generator of the PING benchmarks, for the daemon and the
// reference server alike. TARGET is a Unix socket path (has a '/') or a
// TCP port on 127.0.0.1.
//
//   loadgen conn TARGET CLIENTS COUNT          one connection per PING
//   loadgen session TARGET CLIENTS DEPTH COUNT IDSESSION, DEPTH PINGs per write
//   loadgen latency TARGET BUSY SAMPLES        single PINGs beside BUSY conn clients
//   loadgen idle TARGET N                      N silent connections until stdin closes
//
// conn and session print "<requests> <seconds> <failures>"; latency prints
// "<p50 us> <p99 us> <failures>"; idle prints "ready" once connected.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::chrono::steady_clock clock_type;

std::string target;
std::atomic<long> failures{0};

int open_connection() {
  int fd;
  if (target.find('/') != std::string::npos) {
    fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, target.c_str(), sizeof a.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  } else {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(std::atoi(target.c_str())));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
  }
  std::perror("connect");
  std::exit(2);
}

void send_all(int fd, const std::string& s) {
  if (::send(fd, s.data(), s.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(s.size())) ++failures;
}

// NUL-terminated replies read from fd into a count; false on close or error.
bool read_replies(int fd, long& replies) {
  char buf[65536];
  const ssize_t got = ::read(fd, buf, sizeof buf);
  if (got <= 0) return false;
  replies += std::count(buf, buf + got, '\0');
  return true;
}

// Keeps clients connections busy, one PING each, until count are answered
// or stop is set; returns the number answered.
long run_conn(int clients, long count, const std::atomic<bool>& stop) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  auto launch = [ep] {
    const int fd = open_connection();
    send_all(fd, std::string("zPING\0", 6));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  };
  long done = 0, started = 0;
  for (; started < std::min<long>(clients, count); ++started) launch();
  epoll_event events[256];
  while (done < count && !stop) {
    const int n = ::epoll_wait(ep, events, 256, 1000);
    for (int i = 0; i < n; ++i) {
      long replies = 0;
      if (!read_replies(events[i].data.fd, replies) || replies != 1) ++failures;
      ::close(events[i].data.fd);
      ++done;
      if (started < count && !stop) {
        launch();
        ++started;
      }
    }
  }
  ::close(ep);
  return done;
}

long run_session(int clients, int depth, long count) {
  const int ep = ::epoll_create1(EPOLL_CLOEXEC);
  std::string batch;
  for (int i = 0; i < depth; ++i) batch.append("zPING\0", 6);
  std::vector<long> waiting(static_cast<std::size_t>(clients));
  std::vector<int> fds;
  for (int c = 0; c < clients; ++c) {
    const int fd = open_connection();
    fds.push_back(fd);
    send_all(fd, std::string("zIDSESSION\0", 11) + batch);
    waiting[static_cast<std::size_t>(c)] = depth;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = static_cast<std::uint32_t>(c);
    ::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
  }
  long done = 0;
  epoll_event events[256];
  while (done < count) {
    const int n = ::epoll_wait(ep, events, 256, 5000);
    if (n == 0) {
      ++failures;
      break;
    }
    for (int i = 0; i < n; ++i) {
      const std::size_t c = events[i].data.u32;
      long replies = 0;
      if (!read_replies(fds[c], replies)) {
        ++failures;
        return done;
      }
      done += replies;
      waiting[c] -= replies;
      if (waiting[c] == 0) {
        send_all(fds[c], batch);
        waiting[c] = depth;
      }
    }
  }
  for (int fd : fds) ::close(fd);
  ::close(ep);
  return done;
}

long ping_once() {
  const auto start = clock_type::now();
  const int fd = open_connection();
  send_all(fd, std::string("zPING\0", 6));
  long replies = 0;
  if (!read_replies(fd, replies) || replies != 1) ++failures;
  ::close(fd);
  return std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - start).count();
}

void print_rate(long done, clock_type::time_point start) {
  const double seconds = std::chrono::duration<double>(clock_type::now() - start).count();
  std::printf("%ld %.6f %ld\n", done, seconds, failures.load());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: loadgen conn|session|latency|idle TARGET ...\n");
    return 2;
  }
  rlimit rl;
  ::getrlimit(RLIMIT_NOFILE, &rl);
  rl.rlim_cur = rl.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &rl);
  const std::string mode = argv[1];
  target = argv[2];
  const std::atomic<bool> never{false};
  const auto start = clock_type::now();
  if (mode == "conn" && argc == 5) {
    print_rate(run_conn(std::atoi(argv[3]), std::atol(argv[4]), never), start);
  } else if (mode == "session" && argc == 6) {
    print_rate(run_session(std::atoi(argv[3]), std::atoi(argv[4]), std::atol(argv[5])), start);
  } else if (mode == "latency" && argc == 5) {
    std::atomic<bool> stop{false};
    std::thread busy([&] { run_conn(std::atoi(argv[3]), 1L << 62, stop); });
    std::vector<long> samples(static_cast<std::size_t>(std::atol(argv[4])));
    for (auto& s : samples) s = ping_once();
    stop = true;
    busy.join();
    std::sort(samples.begin(), samples.end());
    std::printf("%ld %ld %ld\n", samples[samples.size() / 2], samples[samples.size() * 99 / 100], failures.load());
  } else if (mode == "idle") {
    std::vector<int> fds;
    for (long i = std::atol(argv[3]); i > 0; --i) fds.push_back(open_connection());
    std::printf("ready\n");
    std::fflush(stdout);
    std::string line;
    std::getline(std::cin, line);
  } else {
    std::fprintf(stderr, "bad arguments\n");
    return 2;
  }
  return 0;
}
