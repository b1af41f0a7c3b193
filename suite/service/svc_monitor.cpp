#include "svc_monitor.h"

#include <string>

#include <boost/asio/error.hpp>

#include "log.h"
#include "system_error.h"

svc_monitor_t::svc_monitor_t(boost::asio::io_context& io, std::string service, std::function<void()> gone)
    : socket_(io), service_(std::move(service)), gone_(std::move(gone)) {}

void svc_monitor_t::start(int fd) {
  boost::system::error_code ec;
  socket_.assign(boost::asio::local::stream_protocol(), fd, ec);
  if (ec) throw cf_system_error_t(ec, "monitor descriptor " + std::to_string(fd));
  do_read();
}

void svc_monitor_t::close() {
  if (closed_) return;
  closed_ = true;
  boost::system::error_code ignored;
  socket_.close(ignored);
}

void svc_monitor_t::do_read() {
  auto self = shared_from_this();
  socket_.async_read_some(boost::asio::buffer(buffer_),
                          [self](const boost::system::error_code& ec, std::size_t) { self->on_read(ec); });
}

void svc_monitor_t::on_read(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || closed_) return;
  if (!ec) return do_read();
  // End of file or a broken socket: either way no one is at the other end.
  if (ec != boost::asio::error::eof) CF_WARNING(service_ << ": monitor socket: " << ec.message());
  close();
  gone_();
}
