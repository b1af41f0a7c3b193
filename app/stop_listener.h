#pragma once

#include <boost/intrusive/list_hook.hpp>

// Something stopped with the process, such as a client connection: listed
// without an allocation of its own, and off the list as soon as it goes.
class cl_stop_listener_t
    : public boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::auto_unlink>> {
public:
  // Called once, when the process stops.
  virtual void on_process_stop() = 0;

protected:
  ~cl_stop_listener_t() = default;
};
