// The LAN client's connection to a peer's test server.
#pragma once

#include <cstdint>

#include "platform/socket.h"

namespace linkrate {

// Connects to host:port over IPv4 (first resolved address only) within
// timeout_ms rounded down to whole seconds (below 1000: no wait at all).
// Returns a connected, tuned socket in blocking mode, or an empty Socket; a
// port above 65535 fails without any network call. Writes no error text.
platform::Socket connect_to_host(const char* host, std::int32_t port, int timeout_ms);

}  // namespace linkrate
