#pragma once

#include <utility>

#include <boost/signals2/dummy_mutex.hpp>
#include <boost/signals2/signal.hpp>
#include <boost/signals2/signal_type.hpp>

#include "application.pb.h"

class cl_inventory_t;

// Knows, from the supervisor's application lists, whether the scanning
// services are installed. Until the first list nothing is known, and
// callers try the service anyway.
class cl_installation_monitor_t {
public:
  typedef boost::signals2::signal_type<void(bool),
                                       boost::signals2::keywords::mutex_type<boost::signals2::dummy_mutex>>::type
      notification_t;

  // Subscribes to the supervisor link's application lists.
  explicit cl_installation_monitor_t(cl_inventory_t& owner);
  cl_installation_monitor_t(const cl_installation_monitor_t&) = delete;
  cl_installation_monitor_t& operator=(const cl_installation_monitor_t&) = delete;

  // (known, installed) for APP_SIEVE and APP_COURIER; (false, false) for
  // anything else. Only (true, false) means "not installed".
  std::pair<bool, bool> query(vx::Application app) const;

  // Emitted with the installed flag each time a list names the services.
  notification_t& courier_notification() { return courier_.notification; }
  notification_t& sieve_notification() { return sieve_.notification; }

  // Processes one application list.
  void on_appinfo(const google::protobuf::RepeatedPtrField<vx::AppInfo>& list);

private:
  struct record_t {
    notification_t notification;
    bool known = false;
    bool installed = false;
  };
  record_t courier_;
  record_t sieve_;
};
