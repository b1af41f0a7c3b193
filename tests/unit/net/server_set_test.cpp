#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>

#include "client_sockets.h"
#include "clamd_server_set.h"
#include "config.h"
#include "inventory.h"
#include "log.h"
#include "peer_socket.h"

namespace {

class capture_log_t : public cf_log_t {
public:
  capture_log_t() : cf_log_t({}) {}
  void open() override {}
  void write(level_t level, const std::string& message) override {
    lines.push_back(std::string(cflog::level_name(level)) + ": " + message);
  }
  void out_of_memory() override {}
  std::vector<std::string> lines;
};

struct on_exit_t {
  std::function<void()> f;
  ~on_exit_t() { f(); }
};

class ServerSetTest : public ::testing::Test {
protected:
  ServerSetTest() : inventory(warden.daemon_fd), servers(new cl_clamd_server_set_t(inventory)) {
    boost::filesystem::create_directories(dir);
    cflog::set_threshold(cf_log_t::debug);
    cflog::install(log);
  }

  ~ServerSetTest() override {
    // Peers end before the inventory whose services they use.
    servers.reset();
    local_clients.clear();
    tcp_clients.clear();
    inventory.on_stop()();
    for (int i = 0; i < 100; ++i) {
      inventory.io_context().restart();
      if (inventory.io_context().poll() == 0) break;
    }
    boost::filesystem::remove_all(dir);
  }

  std::string path(const char* name) const { return (dir / name).string(); }
  void add(const std::string& tag, const std::string& socket_path) {
    auto* item = config.mutable_endpoint()->add_item();
    item->set_tag(tag);
    item->mutable_clamd_socket()->set_local(socket_path);
  }
  void add(const std::string& tag, unsigned short port) {
    auto* item = config.mutable_endpoint()->add_item();
    item->set_tag(tag);
    item->mutable_clamd_socket()->mutable_ip()->set_address("127.0.0.1");
    item->mutable_clamd_socket()->mutable_ip()->set_port(port);
  }
  // Under a umask that would shut other users out of new socket files.
  void apply() {
    config.set_read_timeout(600000);  // no client is dropped for silence
    inventory.config().update(config);
    const mode_t saved = ::umask(077);
    try {
      servers->reconfigure();
    } catch (...) {
      ::umask(saved);
      throw;
    }
    ::umask(saved);
  }

  std::size_t count(const std::string& text) const {
    return std::count_if(log->lines.begin(), log->lines.end(),
                         [&](const std::string& line) { return line.find(text) != std::string::npos; });
  }
  std::size_t index_of(const std::string& line) const {
    return std::find(log->lines.begin(), log->lines.end(), line) - log->lines.begin();
  }
  void wait_for(const std::string& text, std::size_t n = 1) {
    peer_socket_t::run_until(inventory.io_context(), [&] { return count(text) >= n; });
  }
  // Connects and waits until the server of that tag has accepted.
  template <class Client>
  void accepted(std::vector<Client>& clients, Client client, const std::string& tag) {
    ASSERT_TRUE(client.is_open());
    clients.push_back(std::move(client));
    wait_for("accepted new connection on " + tag, count("accepted new connection on " + tag) + 1);
  }

  const boost::filesystem::path dir =
      boost::filesystem::temp_directory_path() / boost::filesystem::unique_path("vemra-net-%%%%%%");
  peer_socket_t warden;
  cl_inventory_t inventory;
  std::unique_ptr<cl_clamd_server_set_t> servers;
  std::shared_ptr<capture_log_t> log = std::make_shared<capture_log_t>();
  vx::ClamdConfig config;
  std::vector<local_client_t> local_clients;
  std::vector<tcp_client_t> tcp_clients;
};

}  // namespace

TEST_F(ServerSetTest, KeepsUnchangedEndpointsAndReopensChangedOnes) {
  const std::string socket_path = path("clamd.sock");
  const unsigned short port = free_port();
  add("u", socket_path);
  add("t", port);
  apply();
  const std::string tcp_description = "127.0.0.1:" + std::to_string(port) + "(IPv4)";
  EXPECT_EQ(1u, count("Notice: Server on " + socket_path + " (local) started"));
  EXPECT_EQ(1u, count("Notice: Server on " + tcp_description + " started"));
  EXPECT_TRUE(S_ISSOCK(stat_of(socket_path).st_mode));
  EXPECT_EQ(0666u, stat_of(socket_path).st_mode & 07777);
  accepted(local_clients, connect_local(socket_path), "u");
  accepted(tcp_clients, connect_tcp(port), "t");
  EXPECT_EQ(1u, count("Server " + tcp_description + ": accepted new connection on t"));

  // The same configuration again: nothing is closed, not even a client
  // still waiting in the backlog.
  const ino_t inode = stat_of(socket_path).st_ino;
  local_clients.push_back(connect_local(socket_path));
  log->lines.clear();
  apply();
  EXPECT_EQ(0u, count("started"));
  EXPECT_EQ(0u, count("shutdown"));
  EXPECT_EQ(inode, stat_of(socket_path).st_ino);
  wait_for("accepted new connection on u");

  // Another tag for the same socket: closed, then opened for the new tag.
  config.mutable_endpoint()->mutable_item(0)->set_tag("v");
  log->lines.clear();
  apply();
  const std::size_t started = index_of("Notice: Server on " + socket_path + " (local) started");
  EXPECT_LT(index_of("Notice: Server on " + socket_path + " (local) shutdown"), started);
  EXPECT_LT(started, log->lines.size());
  accepted(local_clients, connect_local(socket_path), "v");

  // Removed: the socket file goes with it; the TCP endpoint stays.
  config.mutable_endpoint()->mutable_item()->DeleteSubrange(0, 1);
  log->lines.clear();
  apply();
  EXPECT_EQ(1u, count("Notice: Server on " + socket_path + " (local) shutdown"));
  EXPECT_FALSE(exists(socket_path));
  EXPECT_EQ(0u, count(tcp_description + " shutdown"));
  accepted(tcp_clients, connect_tcp(port), "t");
  // Clients connected all along are served on.
  for (auto& client : local_clients) EXPECT_TRUE(is_connected(client));
  for (auto& client : tcp_clients) EXPECT_TRUE(is_connected(client));

  servers.reset();
  EXPECT_EQ(1u, count("Notice: Server on " + tcp_description + " shutdown"));
  EXPECT_FALSE(connect_tcp(port).is_open());
}

TEST_F(ServerSetTest, EndpointUnderTwoTagsGoesToTheFirstInByteOrder) {
  const std::string socket_path = path("shared.sock");
  const unsigned short port = free_port();
  add("b", socket_path);
  add("a", socket_path);
  add("d", port);
  add("c", port);
  apply();
  EXPECT_EQ(2u, count("Warning: "));
  EXPECT_EQ(1u, count("Warning: Socket " + socket_path + " (for b) has already been used, ignored"));
  EXPECT_EQ(1u, count("Warning: Socket 127.0.0.1:" + std::to_string(port) + " (for d) has already been used, ignored"));
  EXPECT_EQ(2u, count("started"));
  accepted(local_clients, connect_local(socket_path), "a");
  accepted(tcp_clients, connect_tcp(port), "c");
}

TEST_F(ServerSetTest, StaleSocketFileIsReplaced) {
  const std::string socket_path = path("stale.sock");
  // Bound, then closed without removing the file, as a crashed run leaves it.
  boost::asio::local::stream_protocol::acceptor(client_io(), socket_path).close();
  ASSERT_TRUE(exists(socket_path));
  add("u", socket_path);
  apply();
  EXPECT_EQ(0666u, stat_of(socket_path).st_mode & 07777);
  accepted(local_clients, connect_local(socket_path), "u");
}

TEST_F(ServerSetTest, FailureToOpenLeavesNothingOpen) {
  const std::string socket_path = path("clamd.sock");
  add("a", socket_path);
  apply();

  // The port is taken: the kept Unix-domain endpoint closes as well.
  boost::asio::ip::tcp::acceptor holder(client_io(), loopback(0));
  add("b", holder.local_endpoint().port());
  try {
    apply();
    ADD_FAILURE() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(EADDRINUSE, e.code().value());
    EXPECT_EQ(0, std::string(e.what()).rfind("bind: ", 0)) << e.what();
  }
  EXPECT_EQ(1u, count("Notice: Server on " + socket_path + " (local) shutdown"));
  EXPECT_FALSE(exists(socket_path));

  // Something other than a socket at the path is never deleted to make room.
  const std::string data_path = path("data");
  std::ofstream(data_path) << "keep me";
  config.Clear();
  add("a", socket_path);
  add("c", data_path);
  EXPECT_THROW(apply(), boost::system::system_error);
  std::string content;
  std::getline(std::ifstream(data_path), content);
  EXPECT_EQ("keep me", content);
  EXPECT_FALSE(connect_local(socket_path).is_open());

  // A configuration that works opens again.
  config.Clear();
  add("a", socket_path);
  apply();
  accepted(local_clients, connect_local(socket_path), "a");
}

TEST_F(ServerSetTest, DescriptorExhaustionPausesAcceptingWithoutClosing) {
  const std::string socket_path = path("clamd.sock");
  add("u", socket_path);
  apply();

  rlimit saved{};
  ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &saved));
  rlimit low = saved;
  low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 256);
  ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
  on_exit_t restore{[&] { ::setrlimit(RLIMIT_NOFILE, &saved); }};

  local_client_t client(client_io());
  client.open();
  std::vector<int> fillers;
  for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
  const auto release = [&] {
    for (int fd : fillers) ::close(fd);
    fillers.clear();
  };
  on_exit_t release_on_exit{release};
  ASSERT_EQ(EMFILE, errno);
  client.connect(boost::asio::local::stream_protocol::endpoint(socket_path));

  const std::string accept_error = "Server " + socket_path + " (local): accept error: Too many open files";
  wait_for(accept_error);
  // Retried on a timer: among the handlers ready right now there is never
  // another accept.
  auto& io = inventory.io_context();
  io.restart();
  for (int i = 0; i < 1000; ++i) io.poll_one();
  EXPECT_LE(count(accept_error), 5u);
  EXPECT_EQ(0u, count("shutdown"));

  release();
  wait_for("accepted new connection on u");
  EXPECT_TRUE(is_connected(client));
}
