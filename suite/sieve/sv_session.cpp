#include "sv_session.h"

#include <exception>
#include <utility>

#include "log.h"
#include "svc_report.h"

namespace {

// Runs on a pool thread: whatever goes wrong inside the engine becomes an
// error in the file's report instead of ending the thread.
vx::ScanReport scan_file(const eng_engine_t& engine, const std::string& path, const eng_options_t& options) {
  try {
    return engine.scan_file(path, options);
  } catch (const std::exception&) {
    vx::ScanReport report;
    report.set_object(path);
    report.set_error(vx::SE_ENGINE_ERROR);
    return report;
  }
}

}  // namespace

sv_session_t::sv_session_t(socket_t socket, sv_shared_t& shared)
    : svc_session_t(std::move(socket), "Sieve"), shared_(shared), proxy_(shared.threats) {}

void sv_session_t::on_frame(const unsigned char* body, std::size_t size) { act(proxy_.on_frame(body, size)); }

void sv_session_t::act(sv_proxy_t::action_t&& action) {
  switch (action.kind) {
    case sv_proxy_t::action_t::none:
      if (!action.note.empty()) debug(action.note);
      break;
    case sv_proxy_t::action_t::reply:
      if (!action.note.empty()) debug(action.note);
      expect_answer();
      send(action.answer, true);
      break;
    case sv_proxy_t::action_t::scan:
      expect_answer();
      do_scan(std::move(action));
      break;
    case sv_proxy_t::action_t::fault:
      fail(action.note);
      break;
  }
}

void sv_session_t::do_scan(sv_proxy_t::action_t&& action) {
  // The scan keeps the session alive, for nothing else may be pending
  // while the session waits at its limit.
  const eng_engine_t& engine = shared_.engine;
  const std::uint32_t serial = action.serial;
  offload<vx::ScanReport>(
      shared_.pool,
      [&engine, path = std::move(action.path), options = action.options] { return scan_file(engine, path, options); },
      [this, serial](vx::ScanReport&& report) { on_scanned(serial, std::move(report)); });
}

void sv_session_t::on_scanned(std::uint32_t serial, vx::ScanReport&& report) {
  // Counted before a report too large to send is cut down.
  shared_.counters.scanned(report);
  const sv::ServerMessage response = proxy_.scan_response(serial, std::move(report));
  if (response.has_threat_id()) {
    const vx::Virus* threat = svc_first_threat(response.scan_report());
    CF_INFO("Sieve: threat #" << response.threat_id() << " " << (threat ? threat->name() : std::string()) << " in "
                              << response.scan_report().object());
  }
  send(response, true);
}
