#pragma once

#include <cerrno>
#include <string>

#include <boost/system/system_error.hpp>

// A system_error whose text names the code as well:
// "prefix: message [category:value]", for example
// "async_send_message: Invalid IPC message size [vx.Error:7]", or without a
// prefix "message [category:value]". Boost 1.74's
// own system_error leaves the bracketed part out, and the code is what an
// administrator needs to tell errors of different categories apart.
class cf_system_error_t : public boost::system::system_error {
public:
  cf_system_error_t(const boost::system::error_code& ec, const std::string& prefix)
      : boost::system::system_error(ec, prefix),
        text_((prefix.empty() ? "" : prefix + ": ") + ec.message() + " [" + ec.category().name() + ":" +
              std::to_string(ec.value()) + "]") {}

  const char* what() const noexcept override { return text_.c_str(); }

private:
  std::string text_;
};

// The system error of an errno value ("prefix: message [system:N]").
inline cf_system_error_t cf_errno_error(int error, const std::string& prefix) {
  return cf_system_error_t(boost::system::error_code(error, boost::system::system_category()), prefix);
}

// The same for the current errno, for the throw right after a failed call.
inline cf_system_error_t cf_errno_error(const std::string& prefix) { return cf_errno_error(errno, prefix); }
