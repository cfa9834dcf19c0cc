// What the LAN client tests share: their first steps and how they write
// their outcome into the result record.
#pragma once

#include <atomic>
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

// The three tests without their first steps: they neither check their
// arguments nor clear the cancel flag, so a cancel that came before them is
// kept. Each starts only when no cancel is pending; otherwise it writes
// "Cancelled by user" and returns -1.0 with the record untouched. A count or
// duration of 0 or less takes its default.
double measure_ping(const char* host, std::int32_t port, std::int32_t count);
double measure_download(const char* host, std::int32_t port, std::int32_t duration_ms);
double measure_upload(const char* host, std::int32_t port, std::int32_t duration_ms);

// An exported test: its first steps (lazy initialisation, the argument check,
// dropping a cancel that came before it), then `measure`.
inline double run_lan_test(double (*measure)(const char*, std::int32_t, std::int32_t),
                           const char* host, std::int32_t port, std::int32_t argument) {
    if (!lan_test_arguments_ok(host, port)) return -1.0;
    g_cancel_flag.store(0);
    return measure(host, port, argument);
}

// Test seam: when set, the full run calls it just before it starts its
// download and its upload, after its own look at the cancel flag: where a
// cancel from another thread may land between two tests.
extern std::atomic<void (*)()> g_before_next_lan_test;

}  // namespace linkrate
