#include "installation_monitor.h"

#include "inventory.h"
#include "warden_tie.h"

cl_installation_monitor_t::cl_installation_monitor_t(cl_inventory_t& owner) {
  owner.warden().appinfo_received.connect([this](const google::protobuf::RepeatedPtrField<vx::AppInfo>& list) {
    on_appinfo(list);
  });
}

std::pair<bool, bool> cl_installation_monitor_t::query(vx::Application app) const {
  if (app == vx::APP_COURIER) return {courier_.known, courier_.installed};
  if (app == vx::APP_SIEVE) return {sieve_.known, sieve_.installed};
  return {false, false};
}

void cl_installation_monitor_t::on_appinfo(const google::protobuf::RepeatedPtrField<vx::AppInfo>& list) {
  for (const auto& info : list) {
    if (!info.HasExtension(vx::root_info)) continue;
    bool courier = false;
    bool sieve = false;
    for (const auto& installed : info.GetExtension(vx::root_info).installed_app()) {
      courier = courier || installed.app() == vx::APP_COURIER;
      sieve = sieve || installed.app() == vx::APP_SIEVE;
    }
    courier_.known = true;
    courier_.installed = courier;
    courier_.notification(courier);
    sieve_.known = true;
    sieve_.installed = sieve;
    sieve_.notification(sieve);
  }
}
