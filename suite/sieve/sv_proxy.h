#pragma once

#include <limits.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "eng_options.h"
#include "sieve_client_ipc.pb.h"
#include "sv_threat_table.h"

// The rules of one proxy session apart from any socket: what each frame
// from the client asks for, the scan limits in force, and the answer to a
// finished scan. A session feeds it every frame in order and does what
// the returned action says.
class sv_proxy_t {
public:
  // What to do with one frame.
  struct action_t {
    enum kind_t {
      none,    // nothing to send
      reply,   // send answer now
      scan,    // scan path with options, then send scan_response(serial, ...)
      fault,   // the client broke the protocol: end the session
    };
    kind_t kind = none;
    sv::ServerMessage answer;
    std::uint32_t serial = 0;
    std::string path;
    eng_options_t options;
    // fault: why the session ends; otherwise a note for the debug log
    // (may be empty).
    std::string note;
  };

  // Longest path worth opening: the platform's PATH_MAX less the NUL.
  // Longer ones cannot name a file, and holding them for every queued
  // request would let a client make us hold a lot.
  static constexpr std::size_t max_path_length = PATH_MAX - 1;

  explicit sv_proxy_t(sv_threat_table_t& threats) : threats_(threats) {}

  // Parses one frame body and says what it asks for.
  action_t on_frame(const unsigned char* body, std::size_t size);
  // The same for a parsed message.
  action_t on_message(const sv::ClientMessage& message);

  // The answer to a scan that has finished: the report with the request's
  // serial, and a threat id when the report names a threat (the threat is
  // registered then). A report too large for one frame is cut down to its
  // object, its first threat and SE_REPORT_SIZE_LIMIT.
  sv::ServerMessage scan_response(std::uint32_t serial, vx::ScanReport report);

  // True once OPEN_PROXY was received.
  bool is_open() const { return open_; }
  // The engine options that the next scan request gets.
  const eng_options_t& options() const { return options_; }

private:
  action_t open_proxy(const sv::ClientMessage& message);
  action_t take_options(const sv::ClientMessage& message);
  action_t scan_request(const sv::ClientMessage& message);
  action_t threat_op(const sv::ClientMessage& message);

  sv_threat_table_t& threats_;
  bool open_ = false;
  // Until the client sends its limits, those of a notification with no
  // field set.
  eng_options_t options_ = eng_options_t::from(sv::ProxyOptions());
};
