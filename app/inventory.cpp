#include "inventory.h"

#include <signal.h>

#include "clamd_server_set.h"
#include "config.h"
#include "courier_connection.h"
#include "error.pb.h"
#include "exception_mapping.h"
#include "installation_monitor.h"
#include "log.h"
#include "log_factory.h"
#include "stat_collector.h"
#include "system_error.h"
#include "warden_tie.h"

cl_inventory_t::cl_inventory_t(int warden_fd)
    : config_(std::make_shared<cl_config_t>()),
      warden_(cl_warden_tie_t::create(io_context_, warden_fd)),
      server_set_(std::make_shared<cl_clamd_server_set_t>(*this)),
      courier_(std::make_unique<cl_courier_connection_t>(*this)),
      stats_(std::make_shared<cl_stat_collector_t>(*this)),
      installation_monitor_(std::make_unique<cl_installation_monitor_t>(*this)),
      sighup_(io_context_, SIGHUP),
      sigterm_(io_context_, SIGTERM) {
  stats_->start();
  warden_->config_changed.connect([this](const vx::ClamdConfig& config) { apply_config(config); });
  wait_sighup();
  wait_sigterm();
}

cl_inventory_t::~cl_inventory_t() {
  // Any end but SIGTERM (the supervisor gone, a failure) finds clients
  // still running, some held by what the members below own (a Courier job's
  // handler, a wait for Courier's window) and ready to report to them as
  // they go. Stopped, they let go of all of it now.
  if (!stop_fired_) fire_stop();
  // Connections kept alive only by pending handlers report to the members
  // below when they go; let them go while those members still exist.
  io_context_.drop_pending();
}

void cl_inventory_t::apply_config(const vx::ClamdConfig& config) {
  try {
    cflog::set_threshold(log_threshold(config.log_level()));
    // An absent actual_log reads as the default record: syslog, daemon.
    auto sink = make_log(config.actual_log(), {});
    // AUTO names no destination of its own: keep the sink we have, or
    // write to stderr when there is none yet.
    if (!sink && !cflog::is_installed()) sink = make_default_log();
    if (sink) cflog::install(sink);
    config_->update(config);
    courier_->on_config_changed();
    server_set_->reconfigure();
  } catch (const std::exception& e) {
    CF_ERROR("Initialization failed: " << exception_text(e));
    throw vx::EC_BAD_CONFIG;
  }
}

void cl_inventory_t::wait_sighup() {
  sighup_.async_wait([this](const boost::system::error_code& ec, int) { on_sighup(ec); });
}

void cl_inventory_t::on_sighup(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "SIGHUP");
  CF_NOTICE("SIGHUP received, config will be ordered from Warden");
  warden_->request_config();
  wait_sighup();
}

void cl_inventory_t::wait_sigterm() {
  sigterm_.async_wait([this](const boost::system::error_code& ec, int) { on_sigterm(ec); });
}

void cl_inventory_t::on_sigterm(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "SIGTERM");
  CF_NOTICE("Termination signal received, exiting...");
  fire_stop();
  throw vx::EC_APP_TERMINATED;
}

void cl_inventory_t::fire_stop() {
  stop_fired_ = true;
  on_stop_();
  // Each listener leaves the list before it is told: stopping may be the
  // end of it.
  while (!stop_listeners_.empty()) {
    cl_stop_listener_t& listener = stop_listeners_.front();
    stop_listeners_.pop_front();
    listener.on_process_stop();
  }
}
