#include "wd_supervisor.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <ctime>

#include <boost/asio/error.hpp>

#include "exception_mapping.h"
#include "log_factory.h"
#include "system_error.h"
#include "wd_ini_values.h"

namespace {

// SIGKILL cannot be refused, but a process stuck in the kernel may take a
// moment to go; Warden does not wait for it forever.
constexpr std::chrono::seconds kill_grace{5};

std::chrono::milliseconds ms(std::uint32_t value) { return std::chrono::milliseconds(value); }

// A scanning service's launch: the command line both services share, and
// what one adds.
wd_child_t::launch_t service_launch(wd_child_t::launch_t launch, const std::string& program, bool enabled,
                                    const std::string& socket, std::uint32_t threads, vx::LogLevel level,
                                    std::vector<std::string> extra) {
  launch.program = program;
  launch.enabled = enabled;
  launch.args = {"--socket", socket, "--threads", std::to_string(threads), "--log-level",
                 cflog::level_name(log_threshold(level))};
  launch.args.insert(launch.args.end(), extra.begin(), extra.end());
  return launch;
}

}  // namespace

std::shared_ptr<cf_log_t> wd_make_log(const vx::Log& log) {
  return make_log(log, [](std::string) {});
}

wd_supervisor_t::wd_supervisor_t(boost::asio::io_context& io, wd_options_t options, wd_settings_t settings,
                                 std::unique_ptr<wd_run_dir_t> run_dir)
    : io_(io),
      options_(std::move(options)),
      settings_(std::move(settings)),
      started_at_(static_cast<std::uint64_t>(std::time(nullptr))),
      run_dir_(std::move(run_dir)),
      // Registered before any program starts, so no end goes unnoticed.
      signals_(io, SIGHUP, SIGTERM, SIGINT),
      status_timer_(io),
      stop_timer_(io),
      sieve_(io, vx::APP_SIEVE, *this),
      courier_(io, vx::APP_COURIER, *this),
      clamd_(io, vx::APP_CLAMD, *this),
      notifier_(options_.notify_socket) {
  signals_.add(SIGCHLD);
  signals_.add(SIGUSR1);
}

wd_supervisor_t::~wd_supervisor_t() {
  // Reached early only when an error ends Warden: no program outlives it.
  for (const wd_child_t* child : {&clamd_, &sieve_.child, &courier_.child})
    if (!child->is_down()) kill(child->pid(), SIGTERM);
  if (clamd_link_) clamd_link_->close();
  if (clamd_log_) clamd_log_->close();
}

void wd_supervisor_t::start() {
  CF_NOTICE("Warden: configuration revision " << revision_ << " from " << settings_.source << ", run directory "
                                              << run_dir_->path());
  wait_signal();
  configure_metrics();
  configure_children();
  arm_status_timer();
  // Without the daemon there is no endpoint to wait for.
  if (!settings_.clamd.actual_start()) ready();
}

void wd_supervisor_t::ready() {
  if (ready_ || stopping_) return;
  ready_ = true;
  notify("READY=1");
}

void wd_supervisor_t::notify(const char* state) const {
  const std::string failure = notifier_.notify(state);
  if (!failure.empty()) CF_WARNING("Warden: cannot tell the service manager " << state << ": " << failure);
}

vx::AppInfo wd_supervisor_t::root_appinfo() const {
  vx::AppInfo info;
  info.set_app(vx::APP_WARDEN);
  info.set_pid(getpid());
  info.set_config_revision(revision_);
  info.set_switch_on_time(started_at_);
  auto* root = info.MutableExtension(vx::root_info);
  for (const auto app : settings_.installed_apps()) root->add_installed_app()->set_app(app);
  return info;
}

void wd_supervisor_t::configure_children() {
  const auto& warden = settings_.warden;
  wd_child_t::launch_t common;
  common.restart_delay = ms(warden.restart_delay());
  common.restart_delay_max = ms(std::max(warden.restart_delay_max(), warden.restart_delay()));

  // The services start first, so that their sockets are usually there by
  // the time the daemon first asks for them.
  sieve_.child.configure(service_launch(common, warden.sieve_exe_path(), warden.sieve_enabled(),
                                        warden.sieve_socket(), warden.sieve_threads(), warden.log_level(), {}));
  courier_.child.configure(service_launch(
      common, warden.courier_exe_path(), warden.courier_enabled(), warden.courier_socket(), warden.courier_threads(),
      warden.log_level(),
      {"--window", std::to_string(warden.courier_window()), "--memory", std::to_string(warden.courier_memory())}));

  wd_child_t::launch_t clamd = common;
  clamd.program = settings_.clamd.exe_path();
  clamd.enabled = settings_.clamd.actual_start();
  clamd.collect_log = warden.collect_clamd_log();
  clamd_.configure(clamd);
}

void wd_supervisor_t::wait_signal() {
  signals_.async_wait([this](const boost::system::error_code& ec, int signo) { on_signal(ec, signo); });
}

void wd_supervisor_t::on_signal(const boost::system::error_code& ec, int signo) {
  if (ec == boost::asio::error::operation_aborted || finished_) return;
  if (ec) throw cf_system_error_t(ec, "signal wait");
  switch (signo) {
    case SIGCHLD: reap(); break;
    case SIGHUP:
      if (!stopping_) reload();
      break;
    case SIGUSR1: log_status(cf_log_t::notice); break;
    default: shutdown(); break;
  }
  if (!finished_) wait_signal();
}

void wd_supervisor_t::reap() {
  for (;;) {
    int status;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) break;
    for (wd_child_t* child : {&clamd_, &sieve_.child, &courier_.child})
      if (pid == child->pid()) child->on_exit(status);
  }
  if (stopping_) finish_when_down();
}

void wd_supervisor_t::reload() {
  CF_NOTICE("Warden: SIGHUP received, reading the configuration from "
            << (options_.config_path.empty() ? "the embedded default" : options_.config_path));
  wd_settings_t next;
  std::unique_ptr<wd_run_dir_t> run_dir;
  std::shared_ptr<cf_log_t> sink;
  try {
    next = wd_load_settings(options_);
    // Whatever can still fail is done before anything changes.
    if (next.warden.run_dir() != run_dir_->path()) run_dir = wd_run_dir_t::open(next.warden.run_dir());
    if (next.warden.log().SerializeAsString() != settings_.warden.log().SerializeAsString())
      sink = wd_make_log(next.warden.log());
  } catch (const std::exception& e) {
    wd_log_failure(e);
    CF_ERROR("Warden: configuration not changed; revision " << revision_ << " stays in force");
    return;
  }

  const bool clamd_changed = next.clamd.SerializeAsString() != settings_.clamd.SerializeAsString();
  const bool apps_changed = next.installed_apps() != settings_.installed_apps();
  settings_ = std::move(next);
  if (run_dir) run_dir_ = std::move(run_dir);
  if (sink) cflog::install(sink);
  cflog::set_threshold(log_threshold(settings_.warden.log_level()));

  if (clamd_changed) {
    if (++revision_ == 0) revision_ = 1;
    CF_NOTICE("Warden: configuration revision " << revision_ << " from " << settings_.source);
    if (clamd_link_) clamd_link_->push_config();
  } else {
    CF_NOTICE("Warden: configuration of ClamD unchanged, revision " << revision_);
  }
  if (apps_changed && clamd_link_) clamd_link_->notify_appinfo();
  configure_metrics();
  configure_children();
  sieve_.child.release();
  courier_.child.release();
  clamd_.release();
  arm_status_timer();
}

void wd_supervisor_t::shutdown() {
  if (stopping_) {
    if (!killed_) {
      CF_NOTICE("Warden: second termination signal; killing what still runs");
      stop_timer_.cancel();
      on_stop_timer({});
    }
    return;
  }
  stopping_ = true;
  CF_NOTICE("Warden: termination signal received, stopping");
  notify("STOPPING=1");
  status_timer_.cancel();
  clamd_.stop();
  sieve_.child.stop();
  courier_.child.stop();
  stop_timer_.expires_after(ms(settings_.warden.stop_timeout()));
  stop_timer_.async_wait([this](const boost::system::error_code& ec) { on_stop_timer(ec); });
  finish_when_down();
}

void wd_supervisor_t::on_stop_timer(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted || finished_) return;
  if (killed_) {
    for (const wd_child_t* child : {&clamd_, &sieve_.child, &courier_.child})
      if (!child->is_down())
        CF_ERROR("Warden: " << child->name() << " (pid " << child->pid() << ") did not end after SIGKILL; leaving");
    return finish();
  }
  killed_ = true;
  clamd_.kill_now();
  sieve_.child.kill_now();
  courier_.child.kill_now();
  stop_timer_.expires_after(kill_grace);
  stop_timer_.async_wait([this](const boost::system::error_code& ec) { on_stop_timer(ec); });
  finish_when_down();
}

void wd_supervisor_t::finish_when_down() {
  if (all_down()) finish();
}

void wd_supervisor_t::finish() {
  if (finished_) return;
  finished_ = true;
  boost::system::error_code ignored;
  signals_.cancel(ignored);
  status_timer_.cancel();
  stop_timer_.cancel();
  if (clamd_link_) clamd_link_->close();
  if (clamd_log_) clamd_log_->close();
  if (metrics_server_) metrics_server_->close();
  for (service_t* service : {&sieve_, &courier_})
    if (service->link) service->link->close();
  CF_NOTICE("Warden: stopped");
  io_.stop();
}

void wd_supervisor_t::arm_status_timer() {
  status_timer_.cancel();
  if (stopping_ || settings_.warden.status_interval() == 0) return;
  status_timer_.expires_after(ms(settings_.warden.status_interval()));
  status_timer_.async_wait([this](const boost::system::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    log_status(cf_log_t::notice);
    arm_status_timer();
  });
}

void wd_supervisor_t::log_status(cf_log_t::level_t level) const {
  CF_LOG(level, "Warden: status: configuration revision "
                    << revision_ << " from " << settings_.source << "; " << clamd_.name() << " " << clamd_.describe()
                    << clamd_report() << "; " << sieve_.child.name() << " " << sieve_.child.describe() << "; "
                    << courier_.child.name() << " " << courier_.child.describe());
}

std::string wd_supervisor_t::clamd_report() const {
  if (!clamd_link_ || clamd_.is_down()) return "";
  std::string out = ", revision " + std::to_string(clamd_link_->applied_revision()) + " applied";
  const auto& c = clamd_link_->connections();
  if (!c.reports) return out + ", no connections reported";
  return out + ", connections now " + std::to_string(c.now) + ", opened " + std::to_string(c.opened) + ", closed " +
         std::to_string(c.closed);
}

void wd_supervisor_t::retire_clamd_link() {
  if (!clamd_link_) return;
  clamd_opened_before_ += clamd_link_->connections().opened;
  clamd_closed_before_ += clamd_link_->connections().closed;
  clamd_link_->close();
  clamd_link_.reset();
}

void wd_supervisor_t::configure_metrics() {
  const std::string& listen = settings_.warden.metrics_listen();
  if (metrics_server_ && listen == metrics_listen_) return;
  if (metrics_server_) {
    metrics_server_->close();
    metrics_server_.reset();
    CF_NOTICE("Warden: metrics on " << metrics_listen_ << " no longer served");
  }
  metrics_listen_ = listen;
  if (listen.empty()) return;
  try {
    // Checked when the file was read; the text is known to be good.
    const vx::IPSocket at = wd_parse_listen(listen);
    const boost::asio::ip::tcp::endpoint endpoint(boost::asio::ip::make_address(at.address()),
                                                  static_cast<unsigned short>(at.port()));
    auto server = std::make_shared<wd_metrics_server_t>(io_, [this] { return wd_metrics_text(metrics()); });
    server->start(endpoint);
    metrics_server_ = std::move(server);
    vx::AnySocket shown;
    *shown.mutable_ip() = at;
    CF_NOTICE("Warden: metrics served on http://" << wd_socket_text(shown) << "/metrics");
  } catch (const std::exception& e) {
    // Monitoring is not worth stopping the suite for; SIGHUP tries again.
    CF_ERROR("Warden: metrics on " << listen << ": " << exception_text(e) << "; not served");
  }
}

wd_metrics_t wd_supervisor_t::metrics() const {
  wd_metrics_t m;
  for (const wd_child_t* child : {&clamd_, &sieve_.child, &courier_.child}) {
    std::string name = child->name();
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    m.programs.push_back({name, !child->is_down(), child->starts() > 0 ? child->starts() - 1u : 0u});
  }
  m.revision = revision_;
  m.connections_opened = clamd_opened_before_;
  m.connections_closed = clamd_closed_before_;
  if (clamd_link_) {
    m.applied_revision = clamd_link_->applied_revision();
    m.connections_open = clamd_link_->connections().now;
    m.connections_opened += clamd_link_->connections().opened;
    m.connections_closed += clamd_link_->connections().closed;
  }
  m.services = {{"sieve", sieve_.totals}, {"courier", courier_.totals}};
  m.start_time = started_at_;
  return m;
}

wd_supervisor_t::service_t* wd_supervisor_t::service_of(wd_child_t& child) {
  if (&child == &sieve_.child) return &sieve_;
  if (&child == &courier_.child) return &courier_;
  return nullptr;
}

void wd_supervisor_t::on_child_started(wd_child_t& child, int monitor, int log) {
  if (service_t* service = service_of(child)) return hold_monitor(*service, monitor, log);
  try {
    retire_clamd_link();
    // Ready once the daemon listens with the configuration in force (a
    // reload may have overtaken the revision it was first sent).
    clamd_link_ = wd_clamd_link_t::create(
        io_, monitor, child.pid(), *this, [this] { clamd_.recycle(); },
        [this](std::uint32_t revision) { on_clamd_applied(revision); });
    clamd_link_->notify_appinfo();
    if (log >= 0) {
      clamd_log_ = std::make_shared<wd_log_collector_t>(io_, log, child.name(), child.pid());
      clamd_log_->start();
    }
  } catch (const std::exception& e) {
    // Without its link the program cannot work: let it end and start again.
    CF_ERROR("Warden: " << child.name() << " (pid " << child.pid() << "): " << exception_text(e));
    if (log >= 0 && !clamd_log_) ::close(log);
    child.recycle();
  }
}

void wd_supervisor_t::hold_monitor(service_t& service, int monitor, int log) {
  if (log >= 0) ::close(log);
  try {
    service.link = wd_service_link_t::create(io_, monitor, service.child.name(), service.child.pid(), service.totals);
  } catch (const std::exception& e) {
    // The service sees its monitor socket end at once and stops; it is
    // started again like after any other failure.
    CF_ERROR("Warden: " << service.child.name() << " (pid " << service.child.pid() << "): " << exception_text(e));
  }
}

void wd_supervisor_t::on_child_exited(wd_child_t& child) {
  if (service_t* service = service_of(child)) {
    // Not closed: it reads the process's last report and goes at the end
    // of the socket.
    service->link.reset();
    return;
  }
  retire_clamd_link();
  // The log collector reads on to the end of the pipe, so the last lines
  // the program wrote are not lost; it goes by itself at end of file.
  clamd_log_.reset();
}

void wd_supervisor_t::on_clamd_applied(std::uint32_t revision) {
  // A report for a revision since replaced says nothing about the record now
  // in force.
  if (revision != revision_) return;
  applied_clamd_ = settings_.clamd;
  applied_revision_ = revision;
  ready();
}

bool wd_supervisor_t::on_child_refused_config(wd_child_t& child) {
  // A valid file the daemon could not put in place (a port in use, a socket
  // directory missing): the record it last ran with serves on meanwhile.
  if (&child != &clamd_ || applied_revision_ == 0 ||
      applied_clamd_.SerializeAsString() == settings_.clamd.SerializeAsString())
    return false;
  const std::uint32_t refused = revision_;
  settings_.clamd = applied_clamd_;
  if (++revision_ == 0) revision_ = 1;
  CF_ERROR("Warden: ClamD could not apply configuration revision "
           << refused << "; going back to the configuration of revision " << applied_revision_
           << " as revision " << revision_ << " until the next SIGHUP");
  return true;
}
