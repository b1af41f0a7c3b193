#pragma once

#include <stdexcept>
#include <string>

#include <boost/system/error_code.hpp>

// An exception carrying an error code of any category besides its text.
class cf_exception_t : public std::runtime_error {
public:
  cf_exception_t(const boost::system::error_code& code, const std::string& what)
      : std::runtime_error(what), code_(code) {}

  // The error code of the failure.
  const boost::system::error_code& code() const noexcept { return code_; }

private:
  boost::system::error_code code_;
};
