#pragma once

#include <exception>

#include <boost/system/error_code.hpp>

#include "error.pb.h"

// The text under which an exception is logged: what() without a leading
// "boost::...::" qualifier (a failed directory listing reads "opendir: ..."),
// "Not enough memory" for std::bad_alloc. The pointer stays valid while the
// exception lives, or until the next call on the same thread.
const char* exception_text(const std::exception& e);

// The error code an exception stands for.
boost::system::error_code exception_error_code(const std::exception& e);

// The exit status (a suite error value) of an error code.
vx::ErrorCode exit_status_of(const boost::system::error_code& ec);
