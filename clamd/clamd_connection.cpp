#include "clamd_connection.h"

#include <unistd.h>

#include <algorithm>

#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include "clamd_log.h"
#include "clamd_receive.h"
#include "clamd_socket.h"
#include "config.h"
#include "error.pb.h"
#include "inventory.h"
#include "proto_error_category.h"
#include "stat_collector.h"
#include "system_error.h"

#define CONN_DEBUG(s) CL_OBJECT_DEBUG("connection", s)

using cl_clamd_framing::cut_t;

namespace {

const char protocol_error[] = "PROTOCOL ERROR: ancillary data sent without FILDES. ERROR";

// Empties a buffer; one that grew past 1 KiB gives its storage back so idle
// connections stay small.
void drain(std::vector<char>& v) {
  if (v.capacity() > 1024)
    std::vector<char>().swap(v);
  else
    v.clear();
}

}  // namespace

cl_clamd_connection_t::cl_clamd_connection_t(cl_inventory_t& inventory, std::shared_ptr<cl_clamd_endpoint_t> endpoint)
    : inventory_(inventory), endpoint_(std::move(endpoint)), socket_(inventory.io_context()) {
  inventory_.stats().connection_opened();
  CONN_DEBUG("created");
}

cl_clamd_connection_t::~cl_clamd_connection_t() {
  endpoint_->deadlines->remove(*this);
  if (received_fd_ >= 0) ::close(received_fd_);
  inventory_.stats().connection_closed();
  CONN_DEBUG("destroyed");
}

void cl_clamd_connection_t::start(const cl_clamd_socket_t::protocol_type& protocol, int fd) {
  // Only this client is affected: drop it rather than the daemon.
  if (const auto ec = socket_.adopt(protocol, fd)) return on_io_error(ec);
  CONN_DEBUG("starting on fd: " << fd);
  post(reading_command);
  start_read_timer(command_read);
}

void cl_clamd_connection_t::post(step_t step) {
  auto holder = self();
  // A stop can come between posting and running (a service failing under
  // a session): the step must not start the next command's work, such as a
  // data job nobody would ever finish, on a closed connection.
  boost::asio::post(inventory_.io_context(), [holder, step] { holder->serve(step); });
}

void cl_clamd_connection_t::continue_with(step_t step) {
  if (serving_)
    next_step_ = step;
  else
    post(step);
}

void cl_clamd_connection_t::serve(step_t step) {
  // Commands a client pipelined are served here one after the other rather
  // than one per event-loop turn: the replies of all but the first then
  // queue behind the first write and leave together in the next one.
  serving_ = true;
  next_step_ = step;
  while (next_step_ != no_step && socket_.is_open()) {
    const step_t current = next_step_;
    next_step_ = no_step;
    run(current);
  }
  next_step_ = no_step;
  serving_ = false;
  read_this_turn_ = false;
}

void cl_clamd_connection_t::run(step_t step) {
  switch (step) {
    case no_step: break;
    case reading_command: return read_command();
    case command_received: return on_command_received();
    case reading_arguments: return read_arguments();
    case reading_block: return read_block();
    case watching: return watch();
  }
}

void cl_clamd_connection_t::start_read_timer(timed_t what) {
  read_timer_purpose_ = what;
  if (!endpoint_->deadlines->set(*this)) CONN_DEBUG("starting read timer for: " << endpoint_->read_timeout_ms << " ms");
}

void cl_clamd_connection_t::stop_read_timer() {
  endpoint_->deadlines->remove(*this);
  command_started_ = false;
}

void cl_clamd_connection_t::on_read_deadline(cl_clamd_deadlines_t::entry_t& entry) {
  auto& connection = static_cast<cl_clamd_connection_t&>(entry);
  // Whatever the expiry leads to, the connection sees it through.
  const auto holder = connection.self();
  connection.on_read_timer();
}

void cl_clamd_connection_t::on_read_timer() {
  if (read_timer_purpose_ == session_idle) {
    // A session waiting for the replies of its earlier commands is not idle.
    if (has_jobs() || queued_output() != 0) return start_read_timer(session_idle);
  } else if (read_timer_purpose_ != replies_owed) {
    write_reply(request_id_, "COMMAND READ TIMED OUT", newline);
  }
  auto holder = self();
  boost::asio::post(inventory_.io_context(),
                    [holder] { holder->on_io_error(vx::make_error_code(vx::EC_NETWORK_TIMEDOUT)); });
}

void cl_clamd_connection_t::time_data(cl_clamd_state_t::kind_t kind) {
  if (kind == cl_clamd_state_t::block) {
    if (!timing_data()) start_read_timer(data_read);
  } else if (timing_data()) {
    // Suspended for the service's window, or done with the data: a stalled
    // service must not cost its clients their connections.
    stop_read_timer();
  }
}

void cl_clamd_connection_t::begin_command() {
  if (command_started_ || input_size() == 0) return;
  start_read_timer(command_read);
  command_started_ = true;
}

bool cl_clamd_connection_t::handled(const boost::system::error_code& ec, const char* what) {
  if (!ec) return false;
  // Aborted: our own close or cancel, which has seen to everything else.
  if (ec != boost::asio::error::operation_aborted) {
    CONN_DEBUG(what << ": " << ec.message());
    on_io_error(ec);
  }
  return true;
}

cl_clamd_connection_t::receive_t cl_clamd_connection_t::fail(const boost::system::error_code& ec) {
  on_io_error(ec);
  return ended;
}

cl_clamd_connection_t::receive_t cl_clamd_connection_t::receive() {
  if (!socket_.is_open()) return ended;
  if (input_ended_) return end_of_input(nothing_yet);
  if (work_) work_->input.compact();
  // Straight to recvmsg, asking nothing first: a read that finds nothing
  // says so (EAGAIN) at the price an up-front count of the bytes would cost
  // on every read.
  std::size_t allowance = receive_allowance();
  receive_t result = nothing_yet;
  drained_ = false;
  read_this_turn_ = true;
  while (allowance > 0) {
    const std::size_t want = std::min(allowance, max_receive);
    // A block's bytes go straight where the parser reads them. Commands
    // fill the free space there is, and only what comes beyond it is
    // copied over, so input_ grows by what came, never by the allowance.
    // Without work, everything goes to overflow: a wakeup that finds
    // nothing makes none.
    if (kind() == cl_clamd_state_t::block) work_->input.reserve(want);
    static thread_local char overflow[max_receive];
    const std::size_t direct = work_ ? std::min(want, work_->input.free_size()) : 0;
    const iovec iov[2] = {{work_ ? work_->input.free_data() : nullptr, direct}, {overflow, want - direct}};
    const cl_clamd_received_t got = cl_clamd_receive(socket_.native_handle(), iov, direct == want ? 1 : 2);
    if (got.error == boost::asio::error::would_block) {
      drained_ = true;
      return result;
    }
    if (got.error) return fail(got.error);
    if (got.bytes == 0 && got.fds.empty()) return end_of_input(result);
    work().input.commit(std::min(got.bytes, direct));
    if (got.bytes > direct) work_->input.append(overflow, got.bytes - direct);
    CONN_DEBUG(got.bytes << " bytes received, buffer has: " << input_size());
    // Data that keeps coming, however slowly, is not silence.
    if (timing_data()) endpoint_->deadlines->set(*this);
    const int before = received_fd_;
    if (const auto refusal = cl_clamd_hold_fd(got, received_fd_)) return fail(refusal);
    if (received_fd_ != before) CF_DEBUG("received fd: " << received_fd_);
    result = received;
    // A short read emptied the socket; a full one may have left more, which
    // the allowance lets us take now rather than after another wakeup.
    if (received_fd_ != before) break;
    drained_ = got.bytes < want;
    if (drained_) break;
    allowance -= got.bytes;
  }
  return result;
}

cl_clamd_connection_t::receive_t cl_clamd_connection_t::end_of_input(receive_t so_far) {
  input_ended_ = true;
  // Commands that came with the end are served first; the next receive
  // comes back here.
  if (so_far == received) return received;
  // A client that shuts down its sending side after pipelining commands
  // still reads their replies: those already made leave before the
  // connection ends, within the read timeout. Work still running has
  // nobody left to answer and stops, as when the client goes away.
  if (has_jobs() || queued_output() == 0) return fail(boost::asio::error::eof);
  command_started_ = false;
  start_read_timer(replies_owed);
  end_after_output_ = true;
  work().state = cl_clamd_state_t::make(cl_clamd_state_t::pending);
  return ended;
}

std::size_t cl_clamd_connection_t::receive_allowance() const {
  const std::size_t have = input_size();
  const std::size_t block = kind() == cl_clamd_state_t::block ? work_->state.count.value_or(0) : 0;
  return std::max(block > have ? block - have : 0, max_receive);
}

int cl_clamd_connection_t::socket_descriptor() { return socket_.native_handle(); }

int cl_clamd_connection_t::take_received_fd() {
  const int fd = received_fd_;
  received_fd_ = -1;
  return fd;
}

void cl_clamd_connection_t::read_command() {
  // Unknown until the next word's first byte has arrived.
  terminator_ = unprefixed;
  // A session client that sends commands without reading the replies would
  // otherwise make us queue replies for as long as it likes; its next
  // command waits until the write in flight has taken some away.
  if (queued_output() > max_queued_output) {
    command_read_paused_ = true;
    return;
  }
  // A word left incomplete by an earlier read gets one more read before its
  // length counts against it.
  const cut_t cut = cut_command();
  if (cut.status == cl_clamd_framing::complete) return take_command(cut);
  if (work_) work_->input.shrink();
  release_idle_work();
  // Outside a session the timer has run since the client connected.
  if (input_size() != 0)
    begin_command();
  else if (in_session_)
    start_read_timer(session_idle);
  need_more(command_received);
}

void cl_clamd_connection_t::on_command_received() {
  begin_command();
  const cut_t cut = cut_command();
  if (cut.status == cl_clamd_framing::complete) return take_command(cut);
  if (cut.status == cl_clamd_framing::too_long) {
    CONN_DEBUG("too long command, expected terminator symbol");
    return on_io_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
  }
  need_more(command_received);
}

cut_t cl_clamd_connection_t::cut_command() {
  cut_t cut = cl_clamd_framing::cut_command(input_data(), input_size());
  // Known from the first byte on, for the replies that interrupt a word.
  terminator_ = cut.terminator;
  return cut;
}

void cl_clamd_connection_t::take_command(const cut_t& cut) {
  work().command = cut.text;
  has_arguments_ = cut.has_arguments;
  consume(cut.used);
  apply_state(on_command());
}

void cl_clamd_connection_t::apply_state(cl_clamd_state_t state) {
  work().state = std::move(state);
  // The command has been read; data it goes on to take (INSTREAM chunks, a
  // descriptor) is bounded by the client's silence instead.
  if (kind() != cl_clamd_state_t::arguments && command_started_) stop_read_timer();
  time_data(kind());
  if (kind() == cl_clamd_state_t::pending) {
    // Work that reported before its command was done (an INSTREAM whose
    // result came while the client was still sending) leaves nothing to
    // wait for: the connection ends once the replies are out.
    if (has_jobs())
      watch();
    else
      check_idle();
  }
  switch (kind()) {
    case cl_clamd_state_t::next_command:
      ++request_id_;
      has_arguments_ = false;
      continue_with(reading_command);
      break;
    case cl_clamd_state_t::arguments:
      continue_with(reading_arguments);
      break;
    case cl_clamd_state_t::block:
      continue_with(reading_block);
      break;
    default:
      break;
  }
}

void cl_clamd_connection_t::read_arguments() {
  const cut_t cut = cl_clamd_framing::cut_arguments(input_data(), input_size(), terminator_);
  if (cut.status == cl_clamd_framing::incomplete) return need_more(reading_arguments);
  if (cut.status == cl_clamd_framing::too_long) {
    CONN_DEBUG("too long arguments, expected terminator symbol");
    return on_io_error(vx::make_error_code(vx::EC_BAD_MESSAGE_SIZE));
  }
  consume(cut.used);
  auto handler = std::move(work_->state.handler);
  apply_state(handler(boost::asio::buffer(cut.text)));
}

void cl_clamd_connection_t::read_block() {
  const cut_t cut = cl_clamd_framing::cut_block(input_size(), work_->state.count.value_or(0));
  if (cut.status != cl_clamd_framing::complete) return need_more(reading_block);
  auto handler = std::move(work_->state.handler);
  cl_clamd_state_t next = handler(boost::asio::buffer(input_data(), cut.used));
  consume(cut.used);
  apply_state(std::move(next));
}

void cl_clamd_connection_t::need_more(step_t step) {
  if (received_fd_ >= 0) {
    // A descriptor only makes sense with FILDES; the client is confused.
    write_reply(request_id_, protocol_error, terminator_);
    // Nothing more is read, so work a half-read command holds (an INSTREAM's
    // job and window credit) could never finish: the connection ends with
    // the reply instead of waiting for it.
    end_after_output_ = true;
    work().state = cl_clamd_state_t::make(cl_clamd_state_t::pending);
    return;
  }
  receive_then(step);
}

void cl_clamd_connection_t::receive_then(step_t step) {
  // What the client sends after an emptying read is usually an answer to
  // our replies, not there yet: waiting at once saves a read that would
  // only find nothing. The wait reports bytes already there as readable,
  // on a later turn: one read per turn keeps a client whose socket stays
  // full from holding up everyone else.
  if (drained_ || read_this_turn_) return wait_readable(step);
  switch (receive()) {
    case received: return continue_with(step);
    case nothing_yet: return wait_readable(step);
    case ended: return;
  }
}

void cl_clamd_connection_t::wait_readable(step_t step) {
  if (!socket_.is_open()) return;
  // The socket raises no new event for bytes a full read left behind: they
  // are taken on the next turn instead.
  if (!drained_) return post(step);
  waiting_step_ = step;
  wait_for_bytes();
}

void cl_clamd_connection_t::wait_for_bytes() {
  // The pending wait keeps the connection alive.
  auto holder = self();
  socket_.async_wait_readable([holder](const boost::system::error_code& ec) { holder->on_readable(ec); });
}

void cl_clamd_connection_t::on_readable(const boost::system::error_code& ec) {
  const step_t step = waiting_step_;
  if (handled(ec, step == watching ? "peer connection error" : "error occurred")) return;
  // A wakeup whose bytes an earlier read already took finds nothing.
  switch (receive()) {
    case received: return serve(step);
    case nothing_yet: return wait_readable(step);
    case ended: return;
  }
}

void cl_clamd_connection_t::watch() {
  // Bytes sent while the command's work is pending mean nothing: drop them,
  // but notice when the client goes away.
  consume(input_size());
  if (work_) work_->input.shrink();
  receive_then(watching);
}

void cl_clamd_connection_t::write_reply(const std::string& text) { write_reply(request_id_, text, terminator_); }

void cl_clamd_connection_t::write_reply(std::uint32_t id, const std::string& text, terminator_t terminator) {
  auto& out = work().output_pending;
  if (id != 0) {
    const std::string number = std::to_string(id) + ": ";
    out.insert(out.end(), number.begin(), number.end());
  }
  out.insert(out.end(), text.begin(), text.end());
  out.push_back(cl_clamd_framing::terminator_byte(terminator));
  flush();
}

void cl_clamd_connection_t::flush() {
  if (work_ && work_->output_in_flight.empty() && !work_->output_pending.empty()) {
    work_->output_pending.swap(work_->output_in_flight);
    write_out(boost::asio::buffer(work_->output_in_flight));
    return;
  }
  check_idle();
}

void cl_clamd_connection_t::write_out(boost::asio::const_buffer buffer) {
  auto holder = self();
  boost::asio::async_write(socket_, buffer,
                           [holder](const boost::system::error_code& ec, std::size_t) { holder->on_write(ec); });
}

void cl_clamd_connection_t::on_write(const boost::system::error_code& ec) {
  if (!socket_.is_open() || handled(ec, "write error")) return;
  drain(work_->output_in_flight);
  flush();
  if (command_read_paused_ && socket_.is_open() && queued_output() <= max_queued_output) {
    command_read_paused_ = false;
    post(reading_command);
  }
  release_idle_work();
}

cl_clamd_state_t cl_clamd_connection_t::finish_command() const {
  return cl_clamd_state_t::make(in_session_ ? cl_clamd_state_t::next_command : cl_clamd_state_t::pending);
}

cl_clamd_state_t cl_clamd_connection_t::check_idle() {
  if (kind() == cl_clamd_state_t::pending && (end_after_output_ || !has_jobs()) && queued_output() == 0) stop();
  return cl_clamd_state_t::make(cl_clamd_state_t::pending);
}

void cl_clamd_connection_t::close() {
  if (socket_.is_open()) {
    // The descriptor is released even when close reports an error; nothing
    // is left to undo, so the error is only worth a line.
    boost::system::error_code ec;
    if (socket_.close(ec)) CONN_DEBUG(cf_system_error_t(ec, "close").what());
  }
  stop_read_timer();
}

void cl_clamd_connection_t::consume(std::size_t n) {
  if (work_) work_->input.consume(n);
}

cl_clamd_connection_t::work_t& cl_clamd_connection_t::work() {
  if (!work_) work_.reset(new work_t);
  return *work_;
}

void cl_clamd_connection_t::release_idle_work() {
  if (kind() == cl_clamd_state_t::next_command && input_size() == 0 && queued_output() == 0) work_.reset();
}
