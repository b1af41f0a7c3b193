#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/stream_protocol.hpp>

#include "basic_ipc_link.h"
#include "warden_clamd_ipc.pb.h"
#include "wd_settings.h"

// What the daemon's link answers from: the configuration in force, its
// revision and Warden's own entry of the application list. Owned by the
// supervisor, which outlives every link.
class wd_config_source_t {
public:
  virtual ~wd_config_source_t() = default;
  virtual const wd_settings_t& settings() const = 0;
  // Changes exactly when the daemon's record changes; never 0.
  virtual std::uint32_t revision() const = 0;
  // Warden's entry, carrying the installed applications.
  virtual vx::AppInfo root_appinfo() const = 0;
};

// Warden's end of one daemon process's monitor socket: answers its
// configuration and service requests, pushes new configurations and the
// list of installed applications, and keeps what the daemon reports (the
// revision it applied, its connection counts).
class wd_clamd_link_t : public std::enable_shared_from_this<wd_clamd_link_t>,
                        public cf_basic_ipc_link_t<boost::asio::local::stream_protocol::socket> {
public:
  // Connection counts as the daemon reports them: now (base), and the
  // sums of every opened (in) and closed (out) since the process started.
  struct connections_t {
    std::uint64_t now = 0;
    std::uint64_t opened = 0;
    std::uint64_t closed = 0;
    unsigned reports = 0;
  };

  // Takes Warden's end of the socket (the descriptor now belongs to the
  // link) and starts reading. broken: called once when the daemon breaks
  // the exchange (a malformed message), so its process can be recycled.
  // applied: called with each revision the daemon reports as applied, by
  // then its endpoints are open.
  static std::shared_ptr<wd_clamd_link_t> create(boost::asio::io_context& io, int fd, pid_t pid,
                                                 const wd_config_source_t& source, std::function<void()> broken,
                                                 std::function<void(std::uint32_t)> applied = {});

  // Sends the configuration in force, unasked (after a reload).
  void push_config();
  // Sends APPINFO_NOTIFICATION: Warden's own entry with the installed
  // applications.
  void notify_appinfo();
  // Closes the socket; later completions are dropped. Safe to call twice.
  void close();

  // The revision the daemon reported as applied (0 before any).
  std::uint32_t applied_revision() const { return applied_revision_; }
  const connections_t& connections() const { return connections_; }

protected:
  void on_message(google::protobuf::io::ZeroCopyInputStream& body) override;
  void on_error(const boost::system::error_code& ec) override;
  std::shared_ptr<cf_basic_ipc_link_t> self() override { return shared_from_this(); }

private:
  wd_clamd_link_t(pid_t pid, const wd_config_source_t& source, std::function<void()> broken);
  void dispatch(const vx::Clamd2WardenMessage& message);
  void answer_service(vx::Warden2ClamdMessage::MessageTag tag, bool enabled, const std::string& path,
                      vx::Application app);
  void send(const vx::Warden2ClamdMessage& message);
  void fail(const std::string& why);

  pid_t pid_;
  const wd_config_source_t& source_;
  std::function<void()> broken_;
  std::function<void(std::uint32_t)> applied_;
  std::uint32_t applied_revision_ = 0;
  connections_t connections_;
};
