#pragma once

#include <string>

#include "log.h"

// "ClamD": the display name of the daemon, which begins the front end's
// object-level log lines.
const std::string& cl_clamd_name();

// Debug line of a front-end object: "ClamD <kind>(<address>): <text>".
#define CL_OBJECT_DEBUG_AT(kind, object, s) \
  CF_DEBUG(cl_clamd_name() << " " kind "(" << static_cast<const void*>(object) << "): " << s)
#define CL_OBJECT_DEBUG(kind, s) CL_OBJECT_DEBUG_AT(kind, this, s)
