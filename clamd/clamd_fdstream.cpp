#include "clamd_fdstream.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>

#include "error.pb.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "system_error.h"
#include "window_provider.h"

std::shared_ptr<cl_clamd_fdstream_t> cl_clamd_fdstream_t::create(cl_inventory_t& inventory, std::uint32_t job,
                                                                 int descriptor, cl_window_provider_t& window) {
  return std::shared_ptr<cl_clamd_fdstream_t>(new cl_clamd_fdstream_t(inventory, job, descriptor, window));
}

cl_clamd_fdstream_t::cl_clamd_fdstream_t(cl_inventory_t& inventory, std::uint32_t job, int descriptor,
                                         cl_window_provider_t& window)
    : inventory_(inventory), job_(job), descriptor_(descriptor), window_(window) {}

cl_clamd_fdstream_t::~cl_clamd_fdstream_t() { close_descriptor(); }

void cl_clamd_fdstream_t::start(handler_t handler) {
  struct stat st;
  if (::fstat(descriptor_, &st) != 0) throw cf_errno_error("fstat");
  if (!S_ISREG(st.st_mode))
    throw cf_system_error_t(vx::make_error_code(vx::EC_NOT_A_REGULAR_FILE), "FILDES file descriptor");
  if (::lseek(descriptor_, 0, SEEK_SET) < 0) throw cf_errno_error("lseek");
  handler_ = std::move(handler);
  post_read();
}

void cl_clamd_fdstream_t::post_read() {
  auto holder = shared_from_this();
  boost::asio::post(inventory_.io_context(), [holder] { holder->read(); });
}

void cl_clamd_fdstream_t::read() {
  if (stopped_) return;
  const std::uint32_t grant = window_.acquire(step_size);
  if (grant == 0) return wait_for_window();
  if (!buffer_) buffer_.reset(new char[step_size]);
  ssize_t n;
  do {
    n = ::read(descriptor_, buffer_.get(), grant);
  } while (n < 0 && errno == EINTR);
  const int error = errno;
  // The credit was only for the read; the data is charged when it is sent.
  window_.release(static_cast<std::int32_t>(grant));
  if (n < 0) return finish(boost::system::error_code(error, boost::system::system_category()));
  if (n == 0) return finish(boost::asio::error::eof);
  // Delivering may stop us; the next step then finds stopped_ set.
  if (handler_) handler_(job_, {}, boost::asio::buffer(buffer_.get(), static_cast<std::size_t>(n)));
  post_read();
}

void cl_clamd_fdstream_t::wait_for_window() {
  keep_alive_ = shared_from_this();
  window_subscription_ = window_.window_signal.connect([this] {
    window_subscription_.disconnect();
    post_read();
    keep_alive_.reset();
  });
}

void cl_clamd_fdstream_t::finish(const boost::system::error_code& ec) {
  close_descriptor();
  if (!handler_) return;
  auto handler = std::move(handler_);
  handler_ = nullptr;
  handler(job_, ec, boost::asio::const_buffer());
}

void cl_clamd_fdstream_t::stop() {
  stopped_ = true;
  handler_ = nullptr;
  window_subscription_.disconnect();
  close_descriptor();
  keep_alive_.reset();
}

void cl_clamd_fdstream_t::close_descriptor() {
  if (descriptor_ < 0) return;
  ::close(descriptor_);
  descriptor_ = -1;
}
