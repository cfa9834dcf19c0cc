// The built-in LAN test server's state, for the library's own tests.
#pragma once

#include <atomic>
#include <cstdint>

#include "frame/subsystems.h"

namespace linkrate {

// 0 while no server is to run; otherwise the number of the start that is to
// run (each start takes a new one). Listener and connection threads serve
// only while it still holds their own start's number, so a thread of an
// earlier server can never serve alongside a newer one.
extern std::atomic<std::uint32_t> g_server_running;

// Connections that a connection thread has served and closed, counted since
// the library was loaded: a test waits on it to know that the server has
// accepted its connection and is done with it.
extern std::atomic<std::uint64_t> g_server_connections_ended;

// Stops a running server with linkrate_cleanup(); starts nothing.
extern const Subsystem kLanServerSubsystem;

}  // namespace linkrate
