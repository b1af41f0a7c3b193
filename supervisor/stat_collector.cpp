#include "stat_collector.h"

#include <boost/asio/error.hpp>

#include "clamd_appstat.pb.h"
#include "inventory.h"
#include "system_error.h"
#include "warden_tie.h"

cl_stat_collector_t::cl_stat_collector_t(cl_inventory_t& owner, std::chrono::steady_clock::duration period)
    : owner_(owner), period_(period), timer_(owner.io_context()) {}

void cl_stat_collector_t::start() {
  std::weak_ptr<cl_stat_collector_t> weak = shared_from_this();
  owner_.on_stop().connect([weak] {
    if (auto self = weak.lock()) self->timer_.cancel();
  });
  arm();
}

void cl_stat_collector_t::arm() {
  timer_.expires_after(period_);
  auto self = shared_from_this();
  timer_.async_wait([self](const boost::system::error_code& ec) { self->on_timer(ec); });
}

void cl_stat_collector_t::on_timer(const boost::system::error_code& ec) {
  if (ec == boost::asio::error::operation_aborted) return;
  if (ec) throw cf_system_error_t(ec, "stat timer");
  report();
  arm();
}

bool cl_stat_collector_t::report() {
  if (base_ == 0 && in_ == 0 && out_ == 0) return false;
  vx::ClamdAppStat stat;
  auto* connections = stat.mutable_connections();
  connections->set_base(base_);
  connections->set_in(in_);
  connections->set_out(out_);
  owner_.warden().notify_stat(stat);
  in_ = 0;
  out_ = 0;
  return true;
}
