#include "wd_child.h"

#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "error.pb.h"
#include "exception_mapping.h"
#include "log.h"
#include "proto_error_category.h"
#include "system_error.h"
#include "wd_spawn.h"

namespace {

void close_all(std::initializer_list<int> fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

}  // namespace

std::string wd_exit_text(int wait_status) {
  if (WIFEXITED(wait_status)) {
    const int status = WEXITSTATUS(wait_status);
    const auto* value = vx::ErrorCode_descriptor()->FindValueByNumber(status);
    return "status " + std::to_string(status) + " (" + (value ? cf_lex_text(*value) : std::to_string(status)) + ")";
  }
  if (WIFSIGNALED(wait_status)) {
    const int sig = WTERMSIG(wait_status);
    return "signal " + std::to_string(sig) + " (" + strsignal(sig) + (WCOREDUMP(wait_status) ? ", core dumped" : "") +
           ")";
  }
  return "wait status " + std::to_string(wait_status);
}

std::string wd_duration_text(std::chrono::milliseconds d) {
  const long long ms = d.count() < 0 ? 0 : d.count();
  const long long s = ms / 1000, m = s / 60, h = m / 60;
  auto two = [](long long v) { return (v < 10 ? "0" : "") + std::to_string(v); };
  if (h) return std::to_string(h) + "h" + two(m % 60) + "m";
  if (m) return std::to_string(m) + "m" + two(s % 60) + "s";
  if (s) return std::to_string(s) + "s";
  return std::to_string(ms) + "ms";
}

wd_child_t::wd_child_t(boost::asio::io_context& io, vx::Application app, delegate_t& delegate)
    : io_(io),
      app_(app),
      name_(cf_lex_text(*vx::Application_descriptor()->FindValueByNumber(app))),
      delegate_(delegate),
      restart_timer_(io) {}

void wd_child_t::configure(const launch_t& launch) {
  const bool was_enabled = launch_.enabled;
  const bool new_command = launch.args != launch_.args;
  launch_ = launch;
  if (was_enabled && !launch.enabled) {
    CF_NOTICE("Warden: " << name_ << " is no longer enabled; stopping it");
    restart_timer_.cancel();
    restart_when_stopped_ = false;
    if (pid_ && state_ != state_t::stopping) {
      kill(pid_, SIGTERM);
      state_ = state_t::stopping;
    } else if (!pid_) {
      state_ = state_t::idle;
    }
  } else if (new_command && state_ == state_t::running) {
    CF_NOTICE("Warden: restarting " << name_ << " (pid " << pid_ << ") with its new command line");
    kill(pid_, SIGTERM);
    state_ = state_t::stopping;
    restart_when_stopped_ = true;
  } else if (!was_enabled && launch.enabled && state_ == state_t::stopping) {
    // Switched off and on again before the process has ended.
    restart_when_stopped_ = true;
  }
  if (state_ == state_t::idle) start();
}

void wd_child_t::start() {
  if (!launch_.enabled || !wanted_ || pid_) return;
  restart_timer_.cancel();
  int monitor[2] = {-1, -1};
  int log[2] = {-1, -1};
  std::vector<std::string> variables{"COM_VEMRA_MONITOR=3"};
  try {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, monitor) != 0)
      throw cf_errno_error("socketpair");
    std::vector<int> pass{monitor[1]};
    if (launch_.collect_log) {
      if (pipe2(log, O_CLOEXEC) != 0)
        throw cf_errno_error("pipe");
      // A Warden too slow to read must cost the program log lines, never
      // block it in the middle of its work.
      fcntl(log[1], F_SETFL, fcntl(log[1], F_GETFL) | O_NONBLOCK);
      pass.push_back(log[1]);
      variables.push_back("COM_VEMRA_ADD_LOG_PIPE=4");
    }
    pid_ = wd_spawn(launch_.program, launch_.args, pass, wd_child_environment(variables));
  } catch (const std::exception& e) {
    close_all({monitor[0], monitor[1], log[0], log[1]});
    CF_ERROR("Warden: cannot start " << name_ << ": " << exception_text(e));
    schedule_restart();
    return;
  }
  close_all({monitor[1], log[1]});
  state_ = state_t::running;
  ++starts_;
  started_at_ = std::chrono::steady_clock::now();
  CF_NOTICE("Warden: started " << name_ << " (" << launch_.program << "), pid " << pid_);
  delegate_.on_child_started(*this, monitor[0], log[0]);
}

void wd_child_t::stop() {
  wanted_ = false;
  restart_when_stopped_ = false;
  restart_timer_.cancel();
  if (!pid_) {
    state_ = state_t::idle;
    return;
  }
  if (state_ != state_t::stopping) {
    kill(pid_, SIGTERM);
    state_ = state_t::stopping;
  }
}

void wd_child_t::kill_now() {
  if (!pid_) return;
  CF_WARNING("Warden: " << name_ << " (pid " << pid_ << ") is still running; killing it");
  kill(pid_, SIGKILL);
}

void wd_child_t::recycle() {
  if (pid_ && state_ == state_t::running) kill(pid_, SIGTERM);
}

void wd_child_t::release() {
  if (state_ != state_t::held && state_ != state_t::waiting) return;
  restart_timer_.cancel();
  state_ = state_t::idle;
  delay_ = std::chrono::milliseconds(0);
  start();
}

void wd_child_t::on_exit(int wait_status) {
  const pid_t pid = pid_;
  pid_ = 0;
  const auto ran = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_at_);
  delegate_.on_child_exited(*this);

  const std::string how = name_ + " (pid " + std::to_string(pid) + ") ";
  if (std::exchange(restart_when_stopped_, false) && wanted_ && launch_.enabled) {
    CF_NOTICE("Warden: " << how << "stopped: " << wd_exit_text(wait_status));
    state_ = state_t::idle;
    delay_ = std::chrono::milliseconds(0);
    return start();
  }
  if (state_ == state_t::stopping || !wanted_ || !launch_.enabled) {
    state_ = state_t::idle;
    CF_NOTICE("Warden: " << how << "stopped: " << wd_exit_text(wait_status));
    return;
  }
  if (WIFEXITED(wait_status) && WEXITSTATUS(wait_status) == vx::EC_BAD_CONFIG) {
    if (delegate_.on_child_refused_config(*this)) {
      CF_ERROR("Warden: " << how << "ended with " << wd_exit_text(wait_status) << "; starting it again");
      state_ = state_t::idle;
      delay_ = std::chrono::milliseconds(0);
      return start();
    }
    state_ = state_t::held;
    CF_ERROR("Warden: " << how << "ended with " << wd_exit_text(wait_status)
                        << "; it is started again on SIGHUP, once the cause is fixed");
    return;
  }
  CF_WARNING("Warden: " << how << "ended with " << wd_exit_text(wait_status) << " after " << wd_duration_text(ran));
  // A run as long as the longest delay counts as stable: the next failure
  // is treated as a first one again.
  if (ran >= launch_.restart_delay_max) delay_ = std::chrono::milliseconds(0);
  schedule_restart();
}

void wd_child_t::schedule_restart() {
  delay_ = delay_.count() == 0 ? launch_.restart_delay : std::min(delay_ * 2, launch_.restart_delay_max);
  state_ = state_t::waiting;
  CF_NOTICE("Warden: starting " << name_ << " again in " << wd_duration_text(delay_));
  restart_timer_.expires_after(delay_);
  restart_timer_.async_wait([this](const boost::system::error_code& ec) { on_restart_timer(ec); });
}

void wd_child_t::on_restart_timer(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (state_ != state_t::waiting) return;
  state_ = state_t::idle;
  start();
}

std::string wd_child_t::describe() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto now = std::chrono::steady_clock::now();
  switch (state_) {
    case state_t::running:
      return "running, pid " + std::to_string(pid_) + ", up " +
             wd_duration_text(duration_cast<milliseconds>(now - started_at_));
    case state_t::stopping: return "stopping, pid " + std::to_string(pid_);
    case state_t::waiting:
      return "starting again in " + wd_duration_text(duration_cast<milliseconds>(restart_timer_.expiry() - now));
    case state_t::held: return "waiting for SIGHUP after an invalid configuration";
    case state_t::idle: break;
  }
  return launch_.enabled ? "stopped" : "not started (not enabled)";
}
