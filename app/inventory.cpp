#include "inventory.h"

#include <signal.h>

#include <boost/asio/error.hpp>

#include "error.pb.h"
#include "log.h"
#include "system_error.h"

cl_inventory_t::cl_inventory_t(int warden_fd)
    : warden_fd_(warden_fd), sighup_(io_context_, SIGHUP), sigterm_(io_context_, SIGTERM) {
  wait_sighup();
  wait_sigterm();
}

cl_inventory_t::~cl_inventory_t() = default;

void cl_inventory_t::wait_sighup() {
  sighup_.async_wait([this](const boost::system::error_code& ec, int) { on_sighup(ec); });
}

void cl_inventory_t::on_sighup(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "SIGHUP");
  CF_NOTICE("SIGHUP received, config will be ordered from Warden");
  wait_sighup();
}

void cl_inventory_t::wait_sigterm() {
  sigterm_.async_wait([this](const boost::system::error_code& ec, int) { on_sigterm(ec); });
}

void cl_inventory_t::on_sigterm(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "SIGTERM");
  CF_NOTICE("Termination signal received, exiting...");
  on_stop_();
  throw vx::EC_APP_TERMINATED;
}
