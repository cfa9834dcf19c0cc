// The process-wide result record and its JSON snapshot.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "frame/state.h"

namespace linkrate {

// The phase texts that the record and the progress callback carry.
inline constexpr const char* kPhaseIdle = "idle";
inline constexpr const char* kPhasePing = "ping";
inline constexpr const char* kPhaseDownload = "download";
inline constexpr const char* kPhaseUpload = "upload";
inline constexpr const char* kPhaseComplete = "complete";

inline constexpr std::size_t kServerTextSize = 256;
inline constexpr std::size_t kPhaseTextSize = 32;
inline constexpr std::size_t kJsonBufSize = 1024;
// Where a rendering is made before it replaces the snapshot. A rendering can
// exceed the snapshot only through `server`: 255 bytes that each escape to
// six, plus under 300 bytes of the rest, fit in it.
inline constexpr std::size_t kRenderScratchSize = 2048;

// The outcome of the latest test. Written only through update_result(), so
// that every change is rendered in the same hold of g_mutex.
struct TestResult {
    double ping_ms;
    double download_mbps;
    double upload_mbps;
    std::int32_t duration_ms;
    double jitter_ms;
    char server[kServerTextSize];
    char phase[kPhaseTextSize];
};

extern TestResult g_last_result;

// The rendering of g_last_result, rewritten in place by update_json_locked().
extern char g_json_buf[kJsonBufSize];

// Sets `r` to the idle values (0.0, 0, "lan", "idle").
void reset_result(TestResult& r);

// Writes `phase` into the record's phase text.
inline void write_phase(TestResult& r, const char* phase) {
    std::snprintf(r.phase, sizeof r.phase, "%s", phase);
}

// Renders the record anew and, when that gives a text of at most 1023 bytes,
// replaces the snapshot with it. Caller holds g_mutex (update_result() does).
void update_json_locked();

// The one way to change the record: takes g_mutex, lets `change` edit the
// record, renders it in the same hold, and lets go. Never call it with
// g_mutex held; `change` only stores (no network call, pause or callback).
template <class Change>
void update_result(Change&& change) {
    std::lock_guard<platform::Lock> hold(g_mutex);
    change(g_last_result);
    update_json_locked();
}

// Renders `r` as the seven-member JSON object into `out` (no NUL is added).
// Returns false, leaving *len unspecified, when a real is NaN or infinite, a
// text is not valid UTF-8, or the rendering does not fit in `cap` bytes.
bool render_result_json(const TestResult& r, char* out, std::size_t cap, std::size_t* len);

}  // namespace linkrate
