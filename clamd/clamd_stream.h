#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/buffer.hpp>
#include <boost/asio/deadline_timer.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/signals2/connection.hpp>
#include <boost/system/error_code.hpp>

class cl_inventory_t;
class cl_window_provider_t;

// The data port of one STREAM command: a TCP port the system picks, which
// takes one connection within the endpoint's read timeout and reads it to
// its end under the data-scanning service's window, handing every piece to
// the data handler. Owned only by its own pending operations.
class cl_clamd_stream_t : public std::enable_shared_from_this<cl_clamd_stream_t> {
public:
  // Data (no error), the end (eof, with the last bytes) or a failure (no
  // bytes). The bytes are valid for the duration of the call.
  typedef std::function<void(const boost::system::error_code&, boost::asio::const_buffer)> handler_t;

  // One read's credit and buffer.
  static constexpr std::uint32_t buffer_size = 32768;

  // A port for a client of the endpoint with this tag.
  static std::shared_ptr<cl_clamd_stream_t> create(cl_inventory_t& inventory, const std::string& endpoint_tag,
                                                   cl_window_provider_t& window);
  ~cl_clamd_stream_t();
  cl_clamd_stream_t(const cl_clamd_stream_t&) = delete;
  cl_clamd_stream_t& operator=(const cl_clamd_stream_t&) = delete;

  // Listens on address (port chosen by the system) and waits for the one
  // connection; returns the port. Throws a system_error when the port
  // cannot be opened.
  std::uint16_t listen(const boost::asio::ip::address& address, handler_t handler);
  // Ends everything; the handler is not called again.
  void stop();

  // Where the data port of a client on this command socket listens: the
  // address the client reached us on, or loopback for a local client.
  static boost::asio::ip::address address_for(int command_socket);

private:
  cl_clamd_stream_t(cl_inventory_t& inventory, const std::string& endpoint_tag, cl_window_provider_t& window);

  void on_accept(const boost::system::error_code& ec);
  void on_accept_timer(const boost::system::error_code& ec);
  // Bounds the client's silence while a read waits on it.
  void arm_read_timer(boost::posix_time::time_duration after);
  void on_read_timer(const boost::system::error_code& ec);
  void read_next();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  // Hands over what fits below the limit, then ends the data with an error.
  void refuse_beyond_limit(std::size_t n);
  void finish(const boost::system::error_code& ec);
  void close_acceptor();
  void give_back_grant();

  handler_t handler_;
  boost::asio::ip::tcp::socket socket_;
  boost::asio::ip::tcp::acceptor acceptor_;
  boost::asio::deadline_timer accept_timer_;
  const std::uint32_t read_timeout_ms_;
  std::uint32_t received_ = 0;
  const std::uint32_t stream_limit_;
  std::uint32_t granted_ = 0;
  boost::signals2::scoped_connection window_subscription_;
  std::shared_ptr<cl_clamd_stream_t> keep_alive_;
  cl_window_provider_t& window_;
  std::unique_ptr<char[]> buffer_;
  bool stopped_ = false;
  // A read is waiting on the client (not on the window).
  bool reading_ = false;
  // When the client last sent data, while reading_.
  std::chrono::steady_clock::time_point last_data_;
};
