#include "clamd_socket.h"

#include <unistd.h>

boost::system::error_code cl_clamd_socket_t::adopt(const protocol_type& protocol, int fd) {
  boost::system::error_code ec;
  assign(protocol, fd, ec);
  if (ec) {
    ::close(fd);
    return ec;
  }
#ifdef CL_CLAMD_SOCKET_ASIO_DETAIL
  // Already non-blocking, and not shared: no ioctl before the first
  // operation, no EPOLL_CTL_DEL before the close.
  using boost::asio::detail::socket_ops::internal_non_blocking;
  using boost::asio::detail::socket_ops::stream_oriented;
  impl_.get_implementation().state_ = stream_oriented | internal_non_blocking;
#endif
  return ec;
}
