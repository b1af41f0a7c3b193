#pragma once

// Left only for the clamd tests that still include it; they are moving to
// support's warden_end.h, and this file goes once they have.
#include "warden_end.h"

typedef warden_end_t peer_socket_t;
