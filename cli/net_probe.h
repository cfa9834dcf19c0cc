// The program's own look at a target that a test failed against: a name
// lookup, a TCP connection and its first bytes, and a bind of a local port.
// Every wait is bounded by a deadline; the system calls are in the system's
// own file (system.h).
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace linkrate_cli {

using ProbeClock = std::chrono::steady_clock;

enum class LookupOutcome { found, not_found, timed_out };

struct Lookup {
    LookupOutcome outcome = LookupOutcome::not_found;
    std::string error;                 // the resolver's words when not found
    std::vector<std::string> numeric;  // the addresses found, as text, in order
};

// The system's look-up of `host` for TCP, as long as it takes.
Lookup run_lookup(const std::string& host);

// Looks `host` up for TCP on a thread of its own and waits for it until
// `deadline`. The system's look-up has no time-out of its own: when the
// deadline passes first, the thread is left to finish by itself.
Lookup lookup_host(const std::string& host, ProbeClock::time_point deadline);

enum class ConnectOutcome { open, refused, silent, failed };

struct Connection {
    ConnectOutcome outcome = ConnectOutcome::failed;
    std::string error;  // the system's words when failed
    // For `open`: whether `probe` was sent and `expect` came back in time,
    // and how long after the send it had come whole.
    bool answered = false;
    ProbeClock::duration answer_time{};
};

// Opens a TCP connection to `address` (numeric) at `port`, waiting until
// `deadline`; when it opens and `probe` is not empty, sends `probe` and waits
// until the deadline for `expect` as the first bytes back. Refused means a
// reset came back; silent, that nothing came back in time. Setting `stop`
// (when given) ends every wait at once, as if its deadline had passed.
Connection connect_to(const std::string& address, int port, const std::string& probe,
                      const std::string& expect, ProbeClock::time_point deadline,
                      const std::atomic<bool>* stop = nullptr);

enum class BindOutcome { free, in_use, not_permitted, failed };

// Whether a listening socket could bind `port` on every IPv4 address now.
BindOutcome try_bind(int port, std::string& error);

}  // namespace linkrate_cli
