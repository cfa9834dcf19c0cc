// The result record, its rendering into the snapshot, and the host's copy.
#include "frame/result.h"

#include <cstdio>
#include <cstring>

#include "frame/state.h"

namespace linkrate {
namespace {

// The snapshot's text before anything has been rendered; its reals have two
// decimals, unlike every rendering. Both buffers hold it from load on.
#define LINKRATE_INITIAL_JSON                                                          \
    "{\"ping_ms\":0.00,\"download_mbps\":0.00,\"upload_mbps\":0.00,\"duration_ms\":0," \
    "\"jitter_ms\":0.00,\"server\":\"lan\",\"phase\":\"idle\"}"

// The host reads this copy, never g_json_buf itself: it is refreshed under
// g_mutex inside linkrate_result_json(), so its text is always complete.
char g_json_host_buf[kJsonBufSize] = LINKRATE_INITIAL_JSON;
// Incremented by every change of g_json_buf; the copy remembers the last it took.
unsigned long g_json_generation = 0;
unsigned long g_json_copied_generation = 0;

}  // namespace

TestResult g_last_result = {0.0, 0.0, 0.0, 0, 0.0, "lan", "idle"};
char g_json_buf[kJsonBufSize] = LINKRATE_INITIAL_JSON;

void reset_result(TestResult& r) {
    r.ping_ms = 0.0;
    r.download_mbps = 0.0;
    r.upload_mbps = 0.0;
    r.duration_ms = 0;
    r.jitter_ms = 0.0;
    std::snprintf(r.server, sizeof r.server, "%s", "lan");
    write_phase(r, kPhaseIdle);
}

void update_json_locked() {
    char scratch[kRenderScratchSize];
    std::size_t length = 0;
    if (!render_result_json(g_last_result, scratch, sizeof scratch, &length)) return;
    if (length >= kJsonBufSize) return;
    std::memcpy(g_json_buf, scratch, length);
    g_json_buf[length] = '\0';
    ++g_json_generation;
}

}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API const char* linkrate_result_json(void) noexcept {
    ensure_initialized();
    std::lock_guard<platform::Lock> hold(g_mutex);
    if (g_json_copied_generation != g_json_generation) {
        std::memcpy(g_json_host_buf, g_json_buf, std::strlen(g_json_buf) + 1);
        g_json_copied_generation = g_json_generation;
    }
    return g_json_host_buf;
}
