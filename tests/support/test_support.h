// Helpers shared by the test binaries: free ports, and counts of the process's
// descriptors, threads and listening ports for leak checks.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "tarnwell/linkrate.h"

namespace linkrate::test {

// The version text that the public header's macros spell.
inline std::string version_from_macros() {
    return std::to_string(LINKRATE_VERSION_MAJOR) + "." + std::to_string(LINKRATE_VERSION_MINOR) +
           "." + std::to_string(LINKRATE_VERSION_PATCH);
}

// A TCP port on 127.0.0.1 that was free a moment ago (the system chose it).
int free_port();

// Starts the library's server on a free port. Another test process may take
// the port between the probe and the bind, so a start that fails is retried
// with a new port. Returns the port, or -1 when every attempt failed.
int start_server_on_free_port(int attempts = 20);

// A blocking TCP connection to 127.0.0.1:port (close-on-exec), or -1. A
// connect that a signal interrupts goes on in the background; this waits for
// it, up to `timeout_ms`, as a connect in progress, so a process whose
// threads take signals (a fuzzer's timer, say) does not fail at random.
int connect_loopback(int port, int timeout_ms = 10000);

// Open descriptors of this process.
int open_descriptor_count();
// Threads of this process.
int thread_count();
// thread_count() once the process has made a thread (a sanitizer's helper
// thread that the first thread creation starts is then part of the count)
// and the count has held still for a moment.
int settled_thread_count();

// The TCP ports that this process listens on (IPv4).
std::vector<int> listening_ports();
bool listening_on(int port);

// Polls `condition` every 10 ms until it holds or `timeout_ms` passed.
bool eventually(const std::function<bool()>& condition, int timeout_ms);

}  // namespace linkrate::test
