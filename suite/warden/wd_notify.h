#pragma once

#include <string>

// The service manager's readiness protocol: one datagram of "KEY=value"
// lines ("READY=1", "STOPPING=1") to the Unix socket the manager names in
// NOTIFY_SOCKET; a name starting with '@' is in the abstract namespace.
// The protocol is a stable, documented interface and a few lines long, so
// Warden speaks it itself rather than linking the manager's library.
class wd_notifier_t {
public:
  // address: the value of NOTIFY_SOCKET; empty when there is no manager to
  // tell, and then nothing is ever sent.
  explicit wd_notifier_t(std::string address) : address_(std::move(address)) {}

  // Sends the state; returns an error text when it could not ("" when
  // sent, or when there is nobody to tell). Never blocks for long: the
  // manager reads its socket at once, and a full one is a lost message.
  std::string notify(const std::string& state) const;

private:
  std::string address_;
};
