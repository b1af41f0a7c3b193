#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "application.pb.h"

// One program that Warden runs and keeps running: starts it with a
// monitor socket (and, when asked, a log pipe), learns of its end from the
// supervisor's reaper, and starts it again after a growing delay. What is
// said over the monitor socket belongs to the delegate, so any program of
// the suite fits this record.
class wd_child_t {
public:
  enum class state_t {
    idle,      // not running and not wanted (disabled, or stopped)
    running,   // a process exists
    stopping,  // asked to end; a process still exists
    waiting,   // ended unexpectedly; started again when the timer fires
    held,      // ended with "invalid configuration"; started again on SIGHUP
  };

  // What the owner does with a started or ended process.
  class delegate_t {
  public:
    virtual ~delegate_t() = default;
    // The process runs. monitor: Warden's end of its monitor socket;
    // log: the read end of its log pipe, or -1. Both now belong to the
    // delegate.
    virtual void on_child_started(wd_child_t& child, int monitor, int log) = 0;
    // The process has ended (its link, if any, should go).
    virtual void on_child_exited(wd_child_t& child) = 0;
    // The process refused its configuration (status 102). True when the
    // delegate has gone back to one the program ran with, so that it can
    // be started again at once rather than wait for SIGHUP.
    virtual bool on_child_refused_config(wd_child_t&) { return false; }
  };

  // What to run and how to keep it running: the part of the suite's
  // settings that concerns this one program.
  struct launch_t {
    std::string program;
    std::vector<std::string> args;  // after the program name
    bool enabled = false;
    bool collect_log = false;
    std::chrono::milliseconds restart_delay{1000};
    std::chrono::milliseconds restart_delay_max{30000};
  };

  wd_child_t(boost::asio::io_context& io, vx::Application app, delegate_t& delegate);
  wd_child_t(const wd_child_t&) = delete;
  wd_child_t& operator=(const wd_child_t&) = delete;

  // Takes a new launch record; a program enabled now is started, one
  // disabled now is stopped. A changed command line restarts a running
  // process at once, since only a new process can take it up; a changed
  // program path applies from the next start.
  void configure(const launch_t& launch);
  // Starts the program when it is enabled and has no process.
  void start();
  // Ends the process with SIGTERM and does not start it again.
  void stop();
  // Sends SIGKILL to a process that is still there.
  void kill_now();
  // Asks a running process to end (SIGTERM); it is started again as after
  // any unexpected end. For a process that broke its monitor link.
  void recycle();
  // A program held after "invalid configuration", or waiting to be
  // started again, is started now (on SIGHUP: the cause may be fixed).
  void release();
  // The reaper found this child's process ended with a waitpid() status.
  void on_exit(int wait_status);

  vx::Application app() const { return app_; }
  // Display name: "ClamD", "Sieve", ...
  const std::string& name() const { return name_; }
  state_t state() const { return state_; }
  // The running process, or 0.
  pid_t pid() const { return pid_; }
  // True when no process of this child exists.
  bool is_down() const { return pid_ == 0; }
  // How many times the program was started.
  unsigned starts() const { return starts_; }
  // "running, pid 42, up 5m3s", "restarting in 4s", ... for the status line.
  std::string describe() const;

private:
  void schedule_restart();
  void on_restart_timer(const boost::system::error_code& ec);

  boost::asio::io_context& io_;
  vx::Application app_;
  std::string name_;
  delegate_t& delegate_;
  launch_t launch_;
  state_t state_ = state_t::idle;
  pid_t pid_ = 0;
  bool wanted_ = true;
  bool restart_when_stopped_ = false;
  unsigned starts_ = 0;
  std::chrono::steady_clock::time_point started_at_;
  std::chrono::milliseconds delay_{0};
  boost::asio::steady_timer restart_timer_;
};

// "status 102 (Invalid configuration)" or "signal 9 (Killed)": how a
// process ended, by a waitpid() status. Exit statuses of the suite's
// programs are error codes of the suite and are shown with their text.
std::string wd_exit_text(int wait_status);
// "1h02m", "5m03s", "12s", "350ms".
std::string wd_duration_text(std::chrono::milliseconds d);
