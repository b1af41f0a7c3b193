#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/buffer.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

class cl_inventory_t;
class cl_window_provider_t;

// Reads a descriptor a client passed with FILDES, from offset 0 to its end,
// one step per event-loop turn and never more than the data-scanning
// service's window allows, so one large file neither starves other clients
// nor outruns the service.
class cl_clamd_fdstream_t : public std::enable_shared_from_this<cl_clamd_fdstream_t> {
public:
  // Data (success), the end (eof, no bytes) or a failure (no bytes), each
  // with the job the reader was made for.
  typedef std::function<void(std::uint32_t, const boost::system::error_code&, boost::asio::const_buffer)> handler_t;

  // The largest piece read in one step.
  static constexpr std::size_t step_size = 65536;

  // Takes ownership of descriptor; closes it exactly once.
  static std::shared_ptr<cl_clamd_fdstream_t> create(cl_inventory_t& inventory, std::uint32_t job, int descriptor,
                                                     cl_window_provider_t& window);
  ~cl_clamd_fdstream_t();
  cl_clamd_fdstream_t(const cl_clamd_fdstream_t&) = delete;
  cl_clamd_fdstream_t& operator=(const cl_clamd_fdstream_t&) = delete;

  // Checks that the descriptor is a regular file and rewinds it, then posts
  // the first read. Throws a system_error ("fstat", "FILDES file
  // descriptor", "lseek") when it cannot be read.
  void start(handler_t handler);
  // Ends reading at once; the handler is not called again.
  void stop();

private:
  cl_clamd_fdstream_t(cl_inventory_t& inventory, std::uint32_t job, int descriptor, cl_window_provider_t& window);

  void post_read();
  void read();
  void wait_for_window();
  void finish(const boost::system::error_code& ec);
  void close_descriptor();

  cl_inventory_t& inventory_;
  bool stopped_ = false;
  const std::uint32_t job_;
  int descriptor_;
  std::unique_ptr<char[]> buffer_;
  handler_t handler_;
  cl_window_provider_t& window_;
  boost::signals2::scoped_connection window_subscription_;
  std::shared_ptr<cl_clamd_fdstream_t> keep_alive_;
};
