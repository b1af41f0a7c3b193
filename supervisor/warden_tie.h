#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

#include "basic_ipc_link.h"
#include "warden_clamd_ipc.pb.h"

// The daemon's end of its conversation with the supervisor: asks for the
// configuration and the scanning services' socket paths, reports what it
// applied and its statistics. Any fault on this link ends the process
// (status 1): without its supervisor the daemon has no reason to run.
class cl_warden_tie_t : public std::enable_shared_from_this<cl_warden_tie_t>,
                        public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket> {
public:
  template <class Signature>
  using signal_t = typename boost::signals2::signal_type<
      Signature, boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type;

  // Answer to a service request: an error code, or EC_OK and the path.
  typedef std::function<void(vx::ErrorCode, const std::string&)> path_callback_t;

  // Wraps the inherited descriptor and starts reading. Sends nothing.
  static std::shared_ptr<cl_warden_tie_t> create(boost::asio::io_context& io, int fd);

  // Sends GET_CONFIG_REQUEST.
  void request_config();
  // Sends GET_SIEVE_REQUEST; the callback gets the next GET_SIEVE_RESPONSE.
  void request_sieve(path_callback_t callback);
  // Sends GET_COURIER_REQUEST; the callback gets the next GET_COURIER_RESPONSE.
  void request_courier(path_callback_t callback);
  // Sends MY_INFO_NOTIFICATION with the revision last applied.
  void notify_info();
  // Sends MY_STAT_NOTIFICATION.
  void notify_stat(const vx::ClamdAppStat& stat);

  // Raised for a configuration whose revision differs from the last one.
  signal_t<void(const vx::ClamdConfig&)> config_changed;
  // Raised for every application list.
  signal_t<void(const google::protobuf::RepeatedPtrField<vx::AppInfo>&)> appinfo_received;

  // The revision of the configuration last applied (0 before any).
  std::uint32_t config_revision() const { return config_revision_; }

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }

private:
  cl_warden_tie_t() = default;
  void dispatch(const vx::Warden2ClamdMessage& message);
  void answer(std::vector<path_callback_t>& pending, const vx::Warden2ClamdMessage& message);
  void send(vx::Clamd2WardenMessage::MessageTag tag, vx::Clamd2WardenMessage& message);

  std::uint32_t config_revision_ = 0;
  std::vector<path_callback_t> pending_sieve_;
  std::vector<path_callback_t> pending_courier_;
};
