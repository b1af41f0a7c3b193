#pragma once

// Taking bytes from a client socket together with the descriptors a client
// may pass as ancillary data, and deciding which of those we keep.
#include <sys/uio.h>

#include <cstddef>
#include <vector>

#include <boost/system/error_code.hpp>

// What one receive took from the socket.
struct cl_clamd_received_t {
  // Bytes placed in the buffer.
  std::size_t bytes = 0;
  // Descriptors that came with them, close-on-exec; ours to keep or close.
  std::vector<int> fds;
  // The control data did not fit: the kernel dropped descriptors.
  bool truncated = false;
  // recvmsg failed; nothing was received.
  boost::system::error_code error;
};

// One recvmsg of at most size bytes into data from the socket fd, with room
// for the control data of one passed descriptor.
cl_clamd_received_t cl_clamd_receive(int fd, char* data, std::size_t size);
// The same, filling the count buffers of iov in order.
cl_clamd_received_t cl_clamd_receive(int fd, const iovec* iov, std::size_t count);

// Keeps the descriptor a client passed in held (-1: none held yet). Refuses
// when the control data was cut short, more than one descriptor came, or
// one is held already: every descriptor received is then closed and the
// error to end the connection with is returned.
boost::system::error_code cl_clamd_hold_fd(const cl_clamd_received_t& received, int& held);
