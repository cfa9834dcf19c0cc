// Process-wide state of the library frame: lifecycle flags, the one lock, the
// last-error text, the cancel flag and the progress-callback slot.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>

#include "platform/platform.h"
#include "tarnwell/linkrate.h"

namespace linkrate {

inline constexpr std::size_t kLastErrorSize = 512;
#define LINKRATE_TEXT_OF_(x) #x
#define LINKRATE_TEXT_OF(x) LINKRATE_TEXT_OF_(x)
// "MAJOR.MINOR.PATCH", spelt from the public header's macros.
inline constexpr const char* kVersionText =
    LINKRATE_TEXT_OF(LINKRATE_VERSION_MAJOR) "." LINKRATE_TEXT_OF(
        LINKRATE_VERSION_MINOR) "." LINKRATE_TEXT_OF(LINKRATE_VERSION_PATCH);
#undef LINKRATE_TEXT_OF
#undef LINKRATE_TEXT_OF_

// 1 from the end of a successful linkrate_init() until linkrate_cleanup().
extern std::atomic<int> g_initialized;
// 1 = the host asked the running test to stop. Tests clear it when they start.
extern std::atomic<int> g_cancel_flag;
// The registered progress callback, or null. Stored under g_mutex, loaded without it.
extern std::atomic<TickCallback> g_tick_cb;

// The one lock. It guards the result record and its rendering, and the store
// into g_tick_cb. It exists for as long as the library is loaded, and is never
// held across a network call, a pause or a callback.
extern platform::Lock g_mutex;

// The message of the most recent failure, written without a lock by the call
// that fails and read by the host after that call returned.
extern char g_last_error[kLastErrorSize];

// Writes `message` (one of linkrate::msg) into g_last_error, cut to 511 bytes.
void set_last_error(const char* message);
// Empties g_last_error.
void clear_last_error();

// The first step of every operation that initialises on first use.
inline void ensure_initialized() {
    if (g_initialized.load() == 0) linkrate_init();
}

// True when the host asked the running test to stop; every check loads anew.
inline bool cancel_requested() { return g_cancel_flag.load() != 0; }

// Hands one report to the registered callback, if any; the slot is loaded anew
// for every report.
inline void report_tick(const char* phase, double value, int percent) {
    TickCallback cb = g_tick_cb.load();
    if (cb != nullptr) cb(phase, value, percent);
}

}  // namespace linkrate
