#include <gtest/gtest.h>

#include "installation_monitor.h"
#include "inventory.h"
#include "text_message.h"
#include "warden_end.h"

namespace {

// Warden's notice; only its own entry lists what is installed, as
// "installed_app { app: ... }" records.
vx::Warden2ClamdMessage notice(const std::string& installed) {
  return parse_text<vx::Warden2ClamdMessage>(
      "tag: APPINFO_NOTIFICATION appinfo { app: APP_CLAMD pid: 2 } appinfo { app: APP_WARDEN pid: 1 " +
      (installed == "none" ? std::string() : "[vx.root_info] { " + installed + " }") + " }");
}

}  // namespace

TEST(InstallationMonitor, AnswersFromTheSupervisorsList) {
  warden_end_t warden;
  cl_inventory_t inventory(warden.daemon_fd);
  auto& monitor = inventory.installation_monitor();
  std::vector<std::string> fired;
  monitor.courier_notification().connect([&](bool on) { fired.push_back(on ? "courier on" : "courier off"); });
  monitor.sieve_notification().connect([&](bool on) { fired.push_back(on ? "sieve on" : "sieve off"); });
  using answer = std::pair<bool, bool>;
  const auto answers = [&] { return std::make_pair(monitor.query(vx::APP_COURIER), monitor.query(vx::APP_SIEVE)); };

  // Nothing is installed before a list, nor after one in which no entry says what is.
  monitor.on_appinfo(notice("none").appinfo());
  EXPECT_EQ(std::make_pair(answer(false, false), answer(false, false)), answers());
  EXPECT_TRUE(fired.empty());

  // Every list fires both notifications, changed or not.
  const auto sieve_and_clamd = notice("installed_app { app: APP_SIEVE } installed_app { app: APP_CLAMD }");
  monitor.on_appinfo(sieve_and_clamd.appinfo());
  monitor.on_appinfo(sieve_and_clamd.appinfo());
  EXPECT_EQ(std::make_pair(answer(true, false), answer(true, true)), answers());
  EXPECT_EQ(answer(false, false), monitor.query(vx::APP_CLAMD));
  EXPECT_EQ((std::vector<std::string>{"courier off", "sieve on", "courier off", "sieve on"}), fired);

  monitor.on_appinfo(notice("installed_app { app: APP_COURIER }").appinfo());
  EXPECT_EQ(std::make_pair(answer(true, true), answer(true, false)), answers());
}
