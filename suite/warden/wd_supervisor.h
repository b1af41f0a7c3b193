#pragma once

#include <cstdint>
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include "log.h"
#include "wd_child.h"
#include "wd_clamd_link.h"
#include "wd_log_collector.h"
#include "wd_metrics.h"
#include "wd_metrics_server.h"
#include "wd_notify.h"
#include "wd_run_dir.h"
#include "wd_service_link.h"
#include "wd_settings.h"

// vemra-warden's application object: holds the configuration in force and
// its revision, runs the suite's programs (vemra-sieve, vemra-courier and
// vemra-clamd) and
// serves the daemon's monitor link, and turns signals into actions: SIGHUP
// re-reads the configuration, SIGTERM and SIGINT stop everything, SIGUSR1
// logs the status line, SIGCHLD reports ended programs.
class wd_supervisor_t : public wd_config_source_t, private wd_child_t::delegate_t {
public:
  wd_supervisor_t(boost::asio::io_context& io, wd_options_t options, wd_settings_t settings,
                  std::unique_ptr<wd_run_dir_t> run_dir);
  ~wd_supervisor_t() override;
  wd_supervisor_t(const wd_supervisor_t&) = delete;
  wd_supervisor_t& operator=(const wd_supervisor_t&) = delete;

  // Starts the enabled programs and waits for signals.
  void start();
  // Re-reads the configuration file and applies it when it is valid;
  // otherwise reports it and keeps the configuration in force.
  void reload();
  // Stops every program (SIGTERM, SIGKILL after StopTimeout) and then
  // leaves the event loop. A second call kills what still runs.
  void shutdown();
  // Logs the status line at the given level.
  void log_status(cf_log_t::level_t level) const;
  // What the metrics endpoint shows now.
  wd_metrics_t metrics() const;

  const wd_settings_t& settings() const override { return settings_; }
  std::uint32_t revision() const override { return revision_; }
  vx::AppInfo root_appinfo() const override;

private:
  void wait_signal();
  void on_signal(const boost::system::error_code& ec, int signo);
  void reap();
  void configure_children();
  void arm_status_timer();
  // Serves the metrics where [Warden] MetricsListen says, or stops.
  void configure_metrics();
  // Keeps the sums of a daemon process's connection counts when its link
  // goes, so that the totals only grow.
  void retire_clamd_link();
  void on_stop_timer(const boost::system::error_code& ec);
  void finish_when_down();
  bool all_down() const { return sieve_.child.is_down() && courier_.child.is_down() && clamd_.is_down(); }
  void finish();
  // Tells the service manager that the suite serves clients, once.
  void ready();
  void notify(const char* state) const;
  // ", revision 3 applied, connections now 2, ..." for the status line.
  std::string clamd_report() const;

  void on_child_started(wd_child_t& child, int monitor, int log) override;
  void on_child_exited(wd_child_t& child) override;
  bool on_child_refused_config(wd_child_t& child) override;
  void on_clamd_applied(std::uint32_t revision);

  // A scanning service Warden runs, the link over its monitor socket
  // while a process runs, and its scan counts over all its processes.
  struct service_t {
    service_t(boost::asio::io_context& io, vx::Application app, wd_child_t::delegate_t& delegate)
        : child(io, app, delegate) {}
    wd_child_t child;
    std::shared_ptr<wd_service_link_t> link;
    wd_scan_counts_t totals;
  };
  service_t* service_of(wd_child_t& child);
  void hold_monitor(service_t& service, int monitor, int log);

  boost::asio::io_context& io_;
  const wd_options_t options_;
  wd_settings_t settings_;
  std::uint32_t revision_ = 1;
  // The daemon's record as it last applied it, and that revision (0: none
  // yet): what a configuration it cannot apply gives way to.
  vx::ClamdConfig applied_clamd_;
  std::uint32_t applied_revision_ = 0;
  std::uint64_t started_at_;  // seconds since the epoch
  std::unique_ptr<wd_run_dir_t> run_dir_;
  boost::asio::signal_set signals_;
  boost::asio::steady_timer status_timer_;
  boost::asio::steady_timer stop_timer_;
  service_t sieve_;
  service_t courier_;
  wd_child_t clamd_;
  std::shared_ptr<wd_clamd_link_t> clamd_link_;
  std::shared_ptr<wd_log_collector_t> clamd_log_;
  std::uint64_t clamd_opened_before_ = 0;  // by daemon processes gone
  std::uint64_t clamd_closed_before_ = 0;
  std::shared_ptr<wd_metrics_server_t> metrics_server_;
  std::string metrics_listen_;  // where metrics_server_ listens
  wd_notifier_t notifier_;
  bool ready_ = false;
  bool stopping_ = false;
  bool killed_ = false;
  bool finished_ = false;
};

// Warden's log sink for its settings (COM_VEMRA_ADD_LOG_PIPE is not
// Warden's: it is what Warden hands to its children).
std::shared_ptr<cf_log_t> wd_make_log(const vx::Log& log);

