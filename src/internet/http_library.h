// The HTTP library's process-wide state, started with the library.
#pragma once

#include <atomic>

#include "frame/subsystems.h"

namespace linkrate {

// 1 while the HTTP library's global state is initialised.
extern std::atomic<int> g_curl_initialized;

// Starts the HTTP library's global state with linkrate_init() (a failure
// leaves it unstarted, and every transfer then fails) and ends it with
// linkrate_cleanup().
extern const Subsystem kHttpLibrarySubsystem;

}  // namespace linkrate
