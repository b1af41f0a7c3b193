#include "cr_session.h"

#include <utility>

#include "log.h"
#include "svc_report.h"

cr_session_t::cr_session_t(socket_t socket, cr_shared_t& shared)
    : svc_session_t(std::move(socket), "Courier"), shared_(shared), exchange_(shared.settings) {}

void cr_session_t::on_frame(const unsigned char* body, std::size_t size) {
  cr_exchange_t::action_t action = exchange_.on_frame(body, size);
  if (action.kind == cr_exchange_t::action_t::fault) return fail(action.note);
  if (!action.note.empty()) debug(action.note);
  if (action.kind == cr_exchange_t::action_t::reply) {
    expect_answer();
    send(action.answer, true);
  } else if (action.kind == cr_exchange_t::action_t::scan) {
    expect_answer();
    do_scan(std::move(action));
  }
  // Data taken is credit due.
  flush();
}

void cr_session_t::before_write() {
  const std::int32_t credit = exchange_.take_credit();
  if (credit == 0) return;
  cr::ServerMessage message;
  message.set_tag(cr::ServerMessage::ADJUST_WINDOW);
  message.set_window_change(credit);
  queue(message, false);
}

void cr_session_t::do_scan(cr_exchange_t::action_t&& action) {
  const eng_engine_t& engine = shared_.engine;
  const std::uint32_t job_id = action.job_id;
  const std::uint64_t ticket = action.ticket;
  offload<cr_outcome_t>(
      shared_.pool,
      [&engine, data = std::move(action.data), options = action.options] { return cr_scan(engine, *data, options); },
      [this, job_id, ticket](cr_outcome_t&& outcome) { on_scanned(job_id, ticket, std::move(outcome)); });
}

void cr_session_t::on_scanned(std::uint32_t job_id, std::uint64_t ticket, cr_outcome_t&& outcome) {
  // The work was done whether or not the answer is still wanted.
  if (outcome.error != vx::EC_OK)
    shared_.counters.failed();
  else
    shared_.counters.scanned(outcome.report);
  if (!exchange_.finish(job_id, ticket)) {
    debug("job " + std::to_string(job_id) + " was reset while it was scanned");
    return drop_answer();
  }
  if (outcome.error != vx::EC_OK) {
    CF_WARNING("Courier: job " << job_id << " cannot be scanned: " << outcome.what);
  } else if (const vx::Virus* threat = svc_first_threat(outcome.report)) {
    CF_INFO("Courier: threat " << threat->name() << " in job " << job_id);
  }
  send(cr_exchange_t::answer(job_id, std::move(outcome)), true);
}
