#pragma once

#include <stdexcept>
#include <string>

#include "error.pb.h"

// An exception carrying a suite error code besides its text.
class cf_proto_exception_t : public std::runtime_error {
public:
  cf_proto_exception_t(vx::ErrorCode code, const std::string& what)
      : std::runtime_error(what), code_(code) {}

  // The suite error code of the failure.
  vx::ErrorCode code() const noexcept { return code_; }

private:
  vx::ErrorCode code_;
};
