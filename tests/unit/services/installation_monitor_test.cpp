#include <gtest/gtest.h>

#include "installation_monitor.h"
#include "inventory.h"
#include "run_until.h"
#include "warden_end.h"

namespace {

google::protobuf::RepeatedPtrField<vx::AppInfo> list_with(std::initializer_list<vx::Application> installed) {
  google::protobuf::RepeatedPtrField<vx::AppInfo> list;
  auto* clamd = list.Add();  // an ordinary entry carries no list
  clamd->set_app(vx::APP_CLAMD);
  clamd->set_pid(2);
  auto* root = list.Add();
  root->set_app(vx::APP_WARDEN);
  root->set_pid(1);
  auto* info = root->MutableExtension(vx::root_info);
  for (auto app : installed) info->add_installed_app()->set_app(app);
  return list;
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
  EXPECT_EQ(answer(false, false), monitor.query(vx::APP_COURIER));
  EXPECT_EQ(answer(false, false), monitor.query(vx::APP_SIEVE));

  // A list without the supervisor's entry changes nothing.
  google::protobuf::RepeatedPtrField<vx::AppInfo> plain;
  plain.Add()->set_app(vx::APP_SIEVE);
  monitor.on_appinfo(plain);
  EXPECT_EQ(answer(false, false), monitor.query(vx::APP_SIEVE));
  EXPECT_TRUE(fired.empty());

  monitor.on_appinfo(list_with({vx::APP_SIEVE, vx::APP_CLAMD}));
  EXPECT_EQ(answer(true, true), monitor.query(vx::APP_SIEVE));
  EXPECT_EQ(answer(true, false), monitor.query(vx::APP_COURIER));
  EXPECT_EQ(answer(false, false), monitor.query(vx::APP_CLAMD));
  monitor.on_appinfo(list_with({vx::APP_SIEVE, vx::APP_CLAMD}));
  EXPECT_EQ((std::vector<std::string>{"courier off", "sieve on", "courier off", "sieve on"}), fired);

  // Delivered through the supervisor link as well.
  vx::Warden2ClamdMessage m;
  m.set_tag(vx::Warden2ClamdMessage::APPINFO_NOTIFICATION);
  *m.mutable_appinfo() = list_with({vx::APP_COURIER});
  warden.send(m);
  ASSERT_TRUE(run_until(inventory.io_context(), [&] { return fired.size() == 6; }));
  EXPECT_EQ(answer(true, true), monitor.query(vx::APP_COURIER));
  EXPECT_EQ(answer(true, false), monitor.query(vx::APP_SIEVE));
}
