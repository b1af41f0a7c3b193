#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <boost/system/error_code.hpp>

#include "clamd_deadlines.h"
#include "clamd_endpoint.h"
#include "clamd_framing.h"
#include "clamd_input.h"
#include "clamd_socket.h"
#include "clamd_state.h"

class cl_inventory_t;

// One accepted clamd client: cuts the byte stream into command words,
// argument texts and exact blocks, receives descriptors passed as
// ancillary data, bounds how long a client may take over a command and how
// long a session may sit idle, and queues
// replies with the terminator and session number the client's command
// chose. What commands mean is the derived class's business.
class cl_clamd_connection_t : private cl_clamd_deadlines_t::entry_t {
public:
  // How the current command is delimited, from its first byte.
  typedef cl_clamd_framing::terminator_t terminator_t;
  static constexpr terminator_t newline = cl_clamd_framing::newline;
  static constexpr terminator_t nul = cl_clamd_framing::nul;
  static constexpr terminator_t unprefixed = cl_clamd_framing::unprefixed;

  // Replies queued beyond this many bytes pause reading the next command
  // of a session until the client has taken some of them.
  static constexpr std::size_t max_queued_output = 64 * 1024;
  // Bytes taken from the socket at once beyond what the current block
  // needs: the rest waits in the kernel, where it holds the client back.
  static constexpr std::size_t max_receive = 64 * 1024;

  cl_clamd_connection_t(cl_inventory_t& inventory, std::shared_ptr<cl_clamd_endpoint_t> endpoint);
  virtual ~cl_clamd_connection_t();
  cl_clamd_connection_t(const cl_clamd_connection_t&) = delete;
  cl_clamd_connection_t& operator=(const cl_clamd_connection_t&) = delete;

  // Serves the accepted descriptor (non-blocking, as accept4 gives it):
  // first read posted, read timer armed.
  void start(const cl_clamd_socket_t::protocol_type& protocol, int fd);

  // Queues a reply with the current request number and terminator.
  void write_reply(const std::string& text);
  // Queues a reply with the given request number and terminator.
  void write_reply(std::uint32_t id, const std::string& text, terminator_t terminator);

  // next_command inside a session, pending outside.
  cl_clamd_state_t finish_command() const;
  // pending; stops the connection first when it is idle.
  cl_clamd_state_t check_idle();
  // Closes the socket and cancels the read timer.
  void close();

  // What the endpoint's deadlines call when a client's read deadline passed.
  static void on_read_deadline(cl_clamd_deadlines_t::entry_t& entry);

  // The tag of the endpoint that accepted the client.
  const std::string& endpoint_tag() const { return endpoint_->tag; }

protected:
  // The command word now in command().
  virtual cl_clamd_state_t on_command() = 0;
  // The command word now being dispatched.
  const std::string& command() const { return work_->command; }
  // A connection-level failure: end the connection.
  virtual void on_io_error(const boost::system::error_code& ec) = 0;
  virtual std::shared_ptr<cl_clamd_connection_t> self() = 0;
  // Ends the connection and everything its commands started.
  virtual void stop() = 0;
  // True while work started by a command is outstanding.
  virtual bool has_jobs() = 0;

  // Where the socket's wait for bytes and its writes start; tests count
  // the writes and make wakeups that find nothing.
  virtual void wait_for_bytes();
  virtual void write_out(boost::asio::const_buffer buffer);
  // The socket is readable, or the wait failed: goes on with waiting_step_.
  void on_readable(const boost::system::error_code& ec);
  void on_write(const boost::system::error_code& ec);

  // Takes the passed descriptor, if one is held (-1 otherwise).
  int take_received_fd();
  // Goes on from a suspended state with what the command wants next.
  void resume(cl_clamd_state_t state) { apply_state(std::move(state)); }
  // The client socket's descriptor, for asking the system about it; -1
  // once closed.
  int socket_descriptor();

  cl_inventory_t& inventory_;
  // Its settings as they were when the client was accepted.
  const std::shared_ptr<cl_clamd_endpoint_t> endpoint_;
  bool in_session_ = false;
  std::uint32_t request_id_ = 0;
  bool has_arguments_ = false;
  // Of the current command; unprefixed until its first byte has arrived.
  terminator_t terminator_ = unprefixed;

private:
  // What a client holds only while a command is read, run or answered: made
  // when bytes arrive or a reply is queued, given back once the client is
  // idle again. Pooled clients that sit between commands, often thousands
  // of them, then hold none of it.
  struct work_t {
    cl_clamd_state_t state;
    std::string command;
    cl_clamd_input_t input;
    std::vector<char> output_pending;
    std::vector<char> output_in_flight;
  };

  // A step of reading, run again once more bytes have arrived: a byte
  // rather than a member pointer, as every idle client holds two.
  enum step_t : std::uint8_t {
    no_step,
    reading_command,    // read_command
    command_received,   // on_command_received
    reading_arguments,  // read_arguments
    reading_block,      // read_block
    watching,           // watch
  };

  // Runs step on a later turn of the event loop.
  void post(step_t step);
  // Runs step after the current one when serving, on a later turn if not.
  void continue_with(step_t step);
  // Runs step and the steps it leads to until one has to wait.
  void serve(step_t step);
  void run(step_t step);
  // What the read timer is bounding when it fires.
  enum timed_t : std::uint8_t {
    command_read,  // the client owes us a command: told so, then dropped
    session_idle,  // a session waits for its next command: dropped quietly
    data_read,     // a command's data (a stream's chunks, FILDES's byte) is owed
    replies_owed,  // the client has sent all it will; our replies must leave
  };
  // Sets the read deadline the endpoint's timeout from now.
  void start_read_timer(timed_t what);
  // The read timer bounds the client's silence while a command's data is read.
  bool timing_data() const { return is_linked() && read_timer_purpose_ == data_read; }
  // Keeps the read timer bounding the client's silence while a command's
  // data is read, and off while the command waits on something else.
  void time_data(cl_clamd_state_t::kind_t kind);
  void stop_read_timer();
  void on_read_timer();
  // The first byte of a command is in: the whole word and its argument text
  // must follow within the read timeout, however slowly they trickle in.
  void begin_command();
  // Sorts a completion's error; true when the completion must not go on.
  bool handled(const boost::system::error_code& ec, const char* what);
  // What a receive found.
  enum receive_t { received, nothing_yet, ended };
  // Hands ec to on_io_error; ended, for the receiving steps to return.
  receive_t fail(const boost::system::error_code& ec);
  // Takes what the socket holds.
  receive_t receive();
  // The client has ended its side; so_far is what this receive took before.
  receive_t end_of_input(receive_t so_far);
  // How much one receive may take now.
  std::size_t receive_allowance() const;
  void read_command();
  void on_command_received();
  cl_clamd_framing::cut_t cut_command();
  void take_command(const cl_clamd_framing::cut_t& cut);
  void apply_state(cl_clamd_state_t state);
  void read_arguments();
  void read_block();
  // More bytes for step, unless a passed descriptor no command took is
  // held: then the client is told so and the connection winds down.
  void need_more(step_t step);
  // Receives, then runs step; waits first when nothing is there.
  void receive_then(step_t step);
  void wait_readable(step_t step);
  void watch();
  void flush();
  // Marks the first n unconsumed input bytes as consumed.
  void consume(std::size_t n);
  const char* input_data() const { return work_ ? work_->input.data() : nullptr; }
  std::size_t input_size() const { return work_ ? work_->input.size() : 0; }
  // What the current command wants next; a client without work is
  // between commands.
  cl_clamd_state_t::kind_t kind() const { return work_ ? work_->state.kind : cl_clamd_state_t::next_command; }
  // Reply bytes queued or being written.
  std::size_t queued_output() const {
    return work_ ? work_->output_pending.size() + work_->output_in_flight.size() : 0;
  }
  // The work of the current command, made when it is first needed.
  work_t& work();
  // Gives the work back once the client is between commands with nothing
  // received, queued or being written.
  void release_idle_work();

  // A descriptor the client passed and no command has taken yet, or -1.
  int received_fd_ = -1;
  timed_t read_timer_purpose_ = command_read;
  // From the first byte of a command until it has been read whole.
  bool command_started_ = false;
  bool command_read_paused_ = false;
  bool serving_ = false;
  // The last receive left the socket empty.
  bool drained_ = false;
  // A receive ran in this turn of the event loop.
  bool read_this_turn_ = false;
  // The step serve runs next, if any.
  step_t next_step_ = no_step;
  // The step a wait for readable bytes goes on with.
  step_t waiting_step_ = no_step;
  // The client broke the protocol: stop once the replies are out, whatever
  // work is still outstanding.
  bool end_after_output_ = false;
  // The client's end-of-stream has been read.
  bool input_ended_ = false;
  cl_clamd_socket_t socket_;
  std::unique_ptr<work_t> work_;
};
