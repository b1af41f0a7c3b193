// The suite's services receiving arbitrary frames from a client of theirs:
// Sieve's proxy sessions and Courier's connections (the rules each session
// follows, apart from its socket), and Warden's end of the daemon's
// monitor socket (over a socketpair in this process). The first byte picks
// the receiver; the rest is the byte stream it reads, cut into frames as
// the sessions cut it. Every answer must fit in a frame, and a scan handed
// out is carried out and answered as the service would.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/io_context.hpp>

#include "cr_exchange.h"
#include "cr_scan.h"
#include "eng_engine.h"
#include "fuzz_check.h"
#include "log.h"
#include "sv_proxy.h"
#include "sv_threat_table.h"
#include "svc_frame.h"
#include "wd_clamd_link.h"
#include "wd_settings.h"

namespace {

// The answer of a session must be one frame.
template <class Message>
void check_answer(const Message& message) {
  FUZZ_CHECK(message.IsInitialized());
  FUZZ_CHECK(message.ByteSizeLong() <= svc_max_message_size);
}

// Cuts frames off the stream as a session does, with its current limit,
// until the stream ends or receive says the session is over.
template <class Receiver>
void read_frames(const std::uint8_t* data, std::size_t size, Receiver&& receive,
                 std::function<std::uint32_t()> max_body) {
  while (size > 0) {
    const svc_frame_t frame = svc_cut_frame(data, size, max_body());
    if (frame.status != svc_frame_t::complete) return;
    FUZZ_CHECK(frame.needed <= size && frame.needed == svc_frame_header_size + frame.body_size);
    if (!receive(data + svc_frame_header_size, frame.body_size)) return;
    data += frame.needed;
    size -= frame.needed;
  }
}

void sieve_session(const std::uint8_t* data, std::size_t size) {
  static sv_threat_table_t threats(64);
  sv_proxy_t proxy(threats);
  std::uint32_t scans = 0;
  read_frames(data, size, [&](const unsigned char* body, std::size_t length) {
    sv_proxy_t::action_t action = proxy.on_frame(body, length);
    if (action.kind == sv_proxy_t::action_t::fault) return false;
    if (action.kind == sv_proxy_t::action_t::reply) check_answer(action.answer);
    if (action.kind == sv_proxy_t::action_t::scan) {
      FUZZ_CHECK(!action.path.empty() && action.path.size() <= sv_proxy_t::max_path_length);
      // Files are not opened here: every other scan finds a threat, so
      // that the threat table and its operations are reached.
      vx::ScanReport report;
      report.set_object(action.path);
      if (++scans % 2) {
        vx::Virus* threat = report.add_virus();
        threat->set_type(vx::SE_KNOWN_VIRUS);
        threat->set_name("Fuzz.Threat");
      }
      check_answer(proxy.scan_response(action.serial, std::move(report)));
    }
    return true;
  }, [] { return svc_max_message_size; });
}

void courier_session(const std::uint8_t* data, std::size_t size) {
  static const eng_engine_t engine;
  cr_settings_t settings;
  settings.window = 64 << 10;
  settings.memory = 32 << 10;
  settings.spill.max_size = 256 << 10;
  cr_exchange_t exchange(settings);
  read_frames(data, size, [&](const unsigned char* body, std::size_t length) {
    cr_exchange_t::action_t action = exchange.on_frame(body, length);
    if (action.kind == cr_exchange_t::action_t::fault) return false;
    if (action.kind == cr_exchange_t::action_t::reply) check_answer(action.answer);
    if (action.kind == cr_exchange_t::action_t::scan) {
      FUZZ_CHECK(action.data);
      cr_outcome_t outcome = cr_scan(engine, *action.data, action.options);
      if (exchange.finish(action.job_id, action.ticket))
        check_answer(cr_exchange_t::answer(action.job_id, std::move(outcome)));
    }
    FUZZ_CHECK(exchange.jobs() <= cr_exchange_t::max_jobs);
    FUZZ_CHECK(exchange.memory().used <= exchange.memory().limit);
    exchange.take_credit();
    return true;
  }, [&] { return exchange.max_frame(); });
}

class config_source_t : public wd_config_source_t {
public:
  config_source_t() : settings_(wd_resolve_settings(nullptr, wd_options_t())) {}
  const wd_settings_t& settings() const override { return settings_; }
  std::uint32_t revision() const override { return 7; }
  vx::AppInfo root_appinfo() const override {
    vx::AppInfo info;
    info.set_app(vx::APP_WARDEN);
    info.set_pid(1);
    return info;
  }

private:
  wd_settings_t settings_;
};

// Warden's link reads the stream, then its end; it must end by itself.
void warden_link(const std::uint8_t* data, std::size_t size) {
  static const config_source_t source;
  // What a socket's buffer takes at once.
  if (size > (64 << 10)) return;
  boost::asio::io_context io;
  int fds[2];
  FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0);
  bool broken = false;
  std::weak_ptr<wd_clamd_link_t> alive = wd_clamd_link_t::create(io, fds[0], 2, source, [&] { broken = true; });
  FUZZ_CHECK(::send(fds[1], data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size));
  ::shutdown(fds[1], SHUT_WR);
  // Answers are taken as they come, as the daemon would.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!io.stopped() && std::chrono::steady_clock::now() < deadline) {
    io.run_one_for(std::chrono::milliseconds(10));
    char buffer[4096];
    while (::recv(fds[1], buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
    }
  }
  FUZZ_CHECK(alive.expired());
  ::close(fds[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool quiet = (cflog::set_threshold(cf_log_t::error + 1), true);
  (void)quiet;
  if (size == 0) return 0;
  switch (data[0] % 3) {
    case 0: sieve_session(data + 1, size - 1); break;
    case 1: courier_session(data + 1, size - 1); break;
    case 2: warden_link(data + 1, size - 1); break;
  }
  return 0;
}
