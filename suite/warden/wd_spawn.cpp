#include "wd_spawn.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/system/error_code.hpp>

#include "system_error.h"

extern char** environ;

namespace {

void close_from(int first) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  const long limit = sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < (limit > 0 && limit < 65536 ? limit : 65536); ++fd) close(static_cast<int>(fd));
}

// Runs in the child between fork and exec: async-signal-safe calls only.
[[noreturn]] void exec_child(const char* program, char* const argv[], char* const envp[], const std::vector<int>& pass,
                             int devnull, int report) {
  setpgid(0, 0);
  // Signals arrive blocked (see wd_spawn). Warden's handlers would run here
  // and report the signal to Warden as if Warden had received it: back to
  // the defaults first (ignored dispositions, such as SIGPIPE's, would also
  // survive exec), then unblock.
  struct sigaction defaults {};
  defaults.sa_handler = SIG_DFL;
  sigemptyset(&defaults.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig)
    if (sig != SIGKILL && sig != SIGSTOP) sigaction(sig, &defaults, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  // Every descriptor is first copied above all the ones involved, so that
  // renumbering them to 3, 4, ... cannot overwrite one not yet moved.
  const int n = static_cast<int>(pass.size());
  int base = report > devnull ? report : devnull;
  for (int fd : pass) base = fd > base ? fd : base;
  ++base;
  bool ok = dup2(devnull, 0) == 0;
  for (int i = 0; ok && i < n; ++i) ok = dup2(pass[i], base + i) == base + i;
  ok = ok && dup2(report, base + n) == base + n;
  for (int i = 0; ok && i < n; ++i) ok = dup2(base + i, 3 + i) == 3 + i;  // dup2 clears close-on-exec
  ok = ok && dup2(base + n, 3 + n) == 3 + n && fcntl(3 + n, F_SETFD, FD_CLOEXEC) == 0;
  int error = ok ? 0 : errno;
  if (ok) {
    close_from(4 + n);
    execve(program, argv, envp);
    error = errno;
  }
  const int report_fd = ok ? 3 + n : report;
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

}  // namespace

std::vector<std::string> wd_child_environment(const std::vector<std::string>& add) {
  std::vector<std::string> env;
  for (char** p = environ; p && *p; ++p)
    if (std::string(*p).compare(0, 10, "COM_VEMRA_") != 0) env.emplace_back(*p);
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

pid_t wd_spawn(const std::string& program, const std::vector<std::string>& args, const std::vector<int>& pass,
               const std::vector<std::string>& environment) {
  // Everything the child needs is built before fork.
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const auto& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const auto& var : environment) envp.push_back(const_cast<char*>(var.c_str()));
  envp.push_back(nullptr);

  const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devnull < 0) throw cf_errno_error("open /dev/null");
  // The child reports a failed exec through this pipe; a successful exec
  // closes it (close-on-exec), so the parent reads end of file.
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    const int error = errno;
    close(devnull);
    throw cf_errno_error(error, "pipe");
  }
  // No signal may reach the child before its handlers are reset.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const pid_t pid = fork();
  if (pid == 0) exec_child(program.c_str(), argv.data(), envp.data(), pass, devnull, report[1]);
  const int fork_error = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  close(devnull);
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    throw cf_errno_error(fork_error, "fork");
  }
  // Also set here, so the group exists whichever process runs first.
  setpgid(pid, pid);

  int error = 0;
  ssize_t got;
  do {
    got = read(report[0], &error, sizeof error);
  } while (got < 0 && errno == EINTR);
  close(report[0]);
  if (got > 0) {
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    throw cf_errno_error(error, "execute " + program);
  }
  return pid;
}
