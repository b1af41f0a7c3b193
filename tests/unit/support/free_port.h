#pragma once

// A TCP port on 127.0.0.1 that was free a moment ago.
unsigned short free_port();
