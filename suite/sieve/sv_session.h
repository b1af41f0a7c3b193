#pragma once

#include <cstddef>
#include <cstdint>

#include "sv_proxy.h"
#include "sv_shared.h"
#include "svc_session.h"

// One client's proxy session: hands scans to the shared pool and writes
// each answer as soon as it is ready, so answers leave in the order scans
// finish (the serials say which request each answers). Once
// max_outstanding requests are waiting for their answers to be written,
// nothing more is taken from the client until some have left.
class sv_session_t : public svc_session_t {
public:
  // Requests taken from the client whose answers have not been written.
  static constexpr std::size_t max_outstanding = 64;

  sv_session_t(socket_t socket, sv_shared_t& shared);

private:
  void on_frame(const unsigned char* body, std::size_t size) override;
  bool saturated() const override { return outstanding() >= max_outstanding; }
  void act(sv_proxy_t::action_t&& action);
  void do_scan(sv_proxy_t::action_t&& action);
  void on_scanned(std::uint32_t serial, vx::ScanReport&& report);

  sv_shared_t& shared_;
  sv_proxy_t proxy_;
};
