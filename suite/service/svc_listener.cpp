#include "svc_listener.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <boost/asio/error.hpp>

#include "log.h"
#include "system_error.h"

namespace {

void check(const boost::system::error_code& ec, const std::string& step) {
  if (ec) throw cf_system_error_t(ec, step);
}

boost::system::error_code errc(boost::system::errc::errc_t e) { return boost::system::errc::make_error_code(e); }

}  // namespace

svc_listener_t::svc_listener_t(boost::asio::io_context& io, std::string path, std::string service, factory_t factory)
    : path_(std::move(path)), service_(std::move(service)), factory_(std::move(factory)), acceptor_(io), retry_timer_(io) {}

svc_listener_t::~svc_listener_t() { remove_file(); }

void svc_listener_t::clear_path() {
  struct stat st;
  if (::lstat(path_.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    throw cf_errno_error("stat " + path_);
  }
  // Not ours to delete: a file, a directory, a link to who knows what.
  if (!S_ISSOCK(st.st_mode)) throw cf_system_error_t(errc(boost::system::errc::file_exists), "socket " + path_);
  boost::asio::local::stream_protocol::socket probe(acceptor_.get_executor());
  boost::system::error_code ec;
  probe.connect(boost::asio::local::stream_protocol::endpoint(path_), ec);
  // Someone answers there: another instance serves this path.
  if (!ec) throw cf_system_error_t(errc(boost::system::errc::address_in_use), "socket " + path_);
  if (ec != boost::asio::error::connection_refused) throw cf_system_error_t(ec, "connect " + path_);
  CF_INFO(service_ << ": replacing the stale socket " << path_);
  if (::unlink(path_.c_str()) != 0 && errno != ENOENT) throw cf_errno_error("unlink " + path_);
}

void svc_listener_t::start() {
  if (path_.size() >= sizeof(sockaddr_un::sun_path))
    throw cf_system_error_t(errc(boost::system::errc::filename_too_long), "socket " + path_);
  clear_path();
  const boost::asio::local::stream_protocol::endpoint endpoint(path_);
  boost::system::error_code ec;
  acceptor_.open(endpoint.protocol(), ec);
  check(ec, "open");
  // The file is created with the umask's mode: nobody else may connect
  // even for the moment before the chmod below.
  const mode_t old_mask = ::umask(0177);
  acceptor_.bind(endpoint, ec);
  ::umask(old_mask);
  check(ec, "bind " + path_);
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0) {
    bound_ = true;
    device_ = st.st_dev;
    inode_ = st.st_ino;
  }
  if (::chmod(path_.c_str(), 0600) != 0) throw cf_errno_error("chmod " + path_);
  acceptor_.listen(boost::asio::socket_base::max_listen_connections, ec);
  check(ec, "listen " + path_);
  do_accept();
}

void svc_listener_t::stop() {
  if (stopped_) return;
  stopped_ = true;
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
  remove_file();
  for (const auto& weak : sessions_)
    if (auto session = weak.lock()) session->close();
  sessions_.clear();
}

void svc_listener_t::remove_file() {
  if (!bound_) return;
  bound_ = false;
  // A newer instance may have taken the path meanwhile; its socket stays.
  struct stat st;
  if (::lstat(path_.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_) ::unlink(path_.c_str());
}

void svc_listener_t::do_accept() {
  auto self = shared_from_this();
  acceptor_.async_accept([self](const boost::system::error_code& ec, svc_session_t::socket_t socket) {
    self->on_accept(ec, std::move(socket));
  });
}

void svc_listener_t::on_accept(const boost::system::error_code& ec, svc_session_t::socket_t socket) {
  if (ec == boost::asio::error::operation_aborted || stopped_) return;
  if (ec) {
    CF_WARNING(service_ << ": accept on " << path_ << ": " << ec.message());
    retry_timer_.expires_after(std::chrono::milliseconds(100));
    auto self = shared_from_this();
    retry_timer_.async_wait([self](const boost::system::error_code& ec) { self->on_retry(ec); });
    return;
  }
  // Sessions end on their own; only the living are kept for stop().
  sessions_.erase(std::remove_if(sessions_.begin(), sessions_.end(),
                                 [](const std::weak_ptr<svc_session_t>& weak) { return weak.expired(); }),
                  sessions_.end());
  auto session = factory_(std::move(socket));
  sessions_.push_back(session);
  session->start();
  do_accept();
}

void svc_listener_t::on_retry(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || stopped_) return;
  do_accept();
}
