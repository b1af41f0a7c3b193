#pragma once

#include <memory>

#include <boost/asio/local/stream_protocol.hpp>

#include "basic_ipc_link.h"

// The transport to the data-scanning service: hands every frame and the
// one transport failure to its delegate, and knows no message types. A
// detached link delivers nothing more, whatever completes late.
class cl_courier_link_t : public std::enable_shared_from_this<cl_courier_link_t>,
                          public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket> {
public:
  typedef boost::asio::local::stream_protocol::socket socket_t;

  // Receives what the link reads.
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // One frame body (a cr::ServerMessage).
    virtual void on_message(google::protobuf::io::ZeroCopyInputStream& body) = 0;
    // The link failed; it reports nothing afterwards.
    virtual void on_error(const boost::system::error_code& ec) = 0;
  };

  // Takes a connected socket and starts reading.
  static std::shared_ptr<cl_courier_link_t> create(delegate_t* delegate, std::shared_ptr<socket_t> socket);

  // Forgets the delegate and closes the socket: the owner has moved on.
  void detach();

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }

private:
  explicit cl_courier_link_t(delegate_t* delegate) : delegate_(delegate) {}

  delegate_t* delegate_;
};
