// What the LAN client tests share: their first steps and how they write
// their outcome into the result record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"

namespace linkrate {

// Lazy initialisation and the argument check that every LAN client test
// starts with. False, with the message written, when host or port is unusable.
inline bool lan_test_arguments_ok(const char* host, std::int32_t port) {
    ensure_initialized();
    if (host != nullptr && port > 0) return true;
    set_last_error(msg::kInvalidHostOrPort);
    return false;
}

// In one change of the record: lets `fields` store the test's own fields,
// writes "host:port" into `server` (cut to what it holds) and `phase`.
template <class Fields>
void record_lan_result(const char* host, std::int32_t port, const char* phase, Fields fields) {
    update_result([&](TestResult& r) {
        fields(r);
        std::snprintf(r.server, sizeof r.server, "%s:%d", host, port);
        write_phase(r, phase);
    });
}

}  // namespace linkrate
