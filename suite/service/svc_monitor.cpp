#include "svc_monitor.h"

#include <string>

#include <boost/asio/error.hpp>
#include <boost/asio/write.hpp>

#include "log.h"
#include "svc_frame.h"
#include "system_error.h"

svc_monitor_t::svc_monitor_t(boost::asio::io_context& io, std::string service, const svc_counters_t& counters,
                             std::function<void()> gone)
    : socket_(io), service_(std::move(service)), counters_(counters), gone_(std::move(gone)), report_timer_(io) {}

void svc_monitor_t::start(int fd) {
  boost::system::error_code ec;
  socket_.assign(boost::asio::local::stream_protocol(), fd, ec);
  if (ec) throw cf_system_error_t(ec, "monitor descriptor " + std::to_string(fd));
  do_read();
}

void svc_monitor_t::close() {
  if (closed_) return;
  closed_ = true;
  report_timer_.cancel();
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
  if (ec) return fail(ec, "read");
  do_read();
}

void svc_monitor_t::counters_changed() {
  if (closed_ || due_) return;
  due_ = true;
  // A write in flight arms the timer when it is done: one report at a
  // time, and the latest counts in each.
  if (!writing_) arm_report();
}

void svc_monitor_t::arm_report() {
  // After a quiet period the expiry has passed and the report goes at once.
  report_timer_.expires_at(last_report_ + report_period);
  auto self = shared_from_this();
  report_timer_.async_wait([self](const boost::system::error_code& ec) { self->on_report_timer(ec); });
}

void svc_monitor_t::on_report_timer(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || closed_) return;
  do_write();
}

void svc_monitor_t::do_write() {
  due_ = false;
  writing_ = true;
  last_report_ = std::chrono::steady_clock::now();
  output_.clear();
  svc_append_frame(output_, counters_.stat());
  auto self = shared_from_this();
  boost::asio::async_write(socket_, boost::asio::buffer(output_),
                           [self](const boost::system::error_code& ec, std::size_t) { self->on_write(ec); });
}

void svc_monitor_t::on_write(const boost::system::error_code& ec) {
  writing_ = false;
  if (ec == boost::asio::error::operation_aborted || closed_) return;
  if (ec) return fail(ec, "write");
  if (due_) arm_report();
}

void svc_monitor_t::fail(const boost::system::error_code& ec, const char* operation) {
  // End of file or a broken socket: either way no one is at the other end.
  if (ec != boost::asio::error::eof && ec != boost::asio::error::broken_pipe)
    CF_WARNING(service_ << ": monitor socket " << operation << ": " << ec.message());
  close();
  gone_();
}
