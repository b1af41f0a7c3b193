#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "courier_client_ipc.pb.h"
#include "cr_job_data.h"
#include "cr_scan.h"
#include "eng_options.h"

// What every connection of the service is given.
struct cr_settings_t {
  // Credit granted to a client that asks for flow control: how many bytes
  // of data it may have on its way at once.
  std::uint32_t window = 1u << 20;
  // Where job data goes, and how much of it one connection keeps in
  // memory before the rest goes to temporary files.
  std::uint64_t memory = 4u << 20;
  cr_spill_t spill;
};

// The rules of one client connection apart from any socket: the jobs it
// has open, by job id, with their data; the credit of a client that asked
// for flow control; and what each message calls for. A session feeds it
// every frame in order and does what the returned action says.
//
// A job is opened by INIT, fed by DATA_CHUNK and handed to a scan by
// SCAN_REQUEST; its answer (SCAN_RESPONSE, or ALARM when it cannot be
// scanned) ends it. A job that was ALARMed swallows further data until its
// RESET, so that the chunks a client still had on their way do not bring an
// ALARM each; RESET drops a job in any state, also one being scanned, whose
// answer is then not sent.
//
// Flow control: a HELLO with flow_control makes the connection metered and
// grants it the window; every byte of data taken is given back as credit
// (ADJUST_WINDOW) once it is stored, so the client's credit returns to the
// window as fast as the data is stored. Data before such a HELLO is not
// metered. A metered client may overrun its credit by at most one window
// (a client sharing the window among readers can briefly go that far);
// beyond that it ignores the window and the connection is closed.
class cr_exchange_t {
public:
  // What to do with one frame.
  struct action_t {
    enum kind_t {
      none,   // nothing to send
      reply,  // send answer (an ALARM) now
      scan,   // scan data with options, then finish(job_id, ticket)
      fault,  // the client broke the protocol: close the connection
    };
    kind_t kind = none;
    cr::ServerMessage answer;
    std::uint32_t job_id = 0;
    std::uint64_t ticket = 0;
    std::shared_ptr<const cr_job_data_t> data;
    eng_options_t options;
    // fault: why the connection ends; otherwise a note for the debug log
    // (may be empty).
    std::string note;
  };

  // Jobs one connection may have open at once (each may hold a file).
  static constexpr std::size_t max_jobs = 1024;
  // Room in a frame for a message's fields besides a chunk's data.
  static constexpr std::uint32_t frame_overhead = 64 * 1024;

  explicit cr_exchange_t(const cr_settings_t& settings) : settings_(settings) { memory_.limit = settings.memory; }
  cr_exchange_t(const cr_exchange_t&) = delete;
  cr_exchange_t& operator=(const cr_exchange_t&) = delete;

  // Parses one frame body and says what it calls for.
  action_t on_frame(const unsigned char* body, std::size_t size);
  // The same for a parsed message.
  action_t on_message(const cr::ClientMessage& message);

  // A scan handed out by a scan action has ended. True when its answer is
  // still wanted (the job was not reset or refused meanwhile); the job is
  // closed either way, and the memory its data held is free again.
  bool finish(std::uint32_t job_id, std::uint64_t ticket);
  // The answer to a finished scan: SCAN_RESPONSE with the report (cut down
  // when it would not fit in a frame), or ALARM with the outcome's error.
  static cr::ServerMessage answer(std::uint32_t job_id, cr_outcome_t&& outcome);

  // Credit to give back to the client now, counted as granted from here
  // on; 0 when none is due. At most INT32_MAX at a time.
  std::int32_t take_credit();
  // The longest frame body worth reading: a chunk of twice the window and
  // the message around it. Longer ones are refused before allocation.
  std::uint32_t max_frame() const;

  bool metered() const { return metered_; }
  // Credit the client has left as far as this side knows (granted, less
  // data taken); negative while it overruns.
  std::int64_t balance() const { return balance_; }
  const cr_memory_t& memory() const { return memory_; }
  std::size_t jobs() const { return jobs_.size(); }

private:
  struct job_t {
    enum state_t { receiving, scanning, refused };
    state_t state = receiving;
    cr_job_data_t data;
    std::uint64_t ticket = 0;  // scanning: the scan's
  };

  action_t hello(const cr::ClientMessage& message);
  action_t init(std::uint32_t id);
  action_t data_chunk(std::uint32_t id, const std::string& data);
  action_t scan_request(std::uint32_t id, const cr::ClientMessage& message);
  action_t reset(std::uint32_t id);
  action_t refuse(std::uint32_t id, job_t& job, vx::ErrorCode code, const std::string& what);

  const cr_settings_t settings_;
  cr_memory_t memory_;
  std::map<std::uint32_t, job_t> jobs_;
  // Memory still held by each scan handed out, by ticket.
  std::map<std::uint64_t, std::uint64_t> scan_charges_;
  std::uint64_t next_ticket_ = 0;
  bool hello_ = false;
  bool metered_ = false;
  std::int64_t balance_ = 0;
  // Data taken and stored whose credit has not been given back yet.
  std::uint64_t owed_ = 0;
};
