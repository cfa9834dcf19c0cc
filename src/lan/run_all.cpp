// The LAN full run: ping, download and upload against one peer, in turn.
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "lan/client.h"

using namespace linkrate;

namespace {

constexpr int kRunPings = 5;
constexpr int kDefaultDurationMs = 2000;

void before_next_test() {
    if (void (*seam)() = g_before_next_lan_test.load()) seam();
}

}  // namespace

std::atomic<void (*)()> linkrate::g_before_next_lan_test{nullptr};

extern "C" LINKRATE_API int32_t linkrate_run_all(const char* host, int32_t port,
                                                 int32_t duration_ms) noexcept {
    if (!lan_test_arguments_ok(host, port)) return -1;
    if (duration_ms <= 0) duration_ms = kDefaultDurationMs;
    g_cancel_flag.store(0);

    // The flag is cleared once, here: the tests keep it, so a cancel that
    // lands between two of them stops the run before the next one starts.
    // Each test records its own result; a failed one does not stop the run,
    // a cancelled one does (its message stays).
    double ping_ms = measure_ping(host, port, kRunPings);
    if (cancel_requested()) return -1;
    before_next_test();
    double download_mbps = measure_download(host, port, duration_ms);
    if (cancel_requested()) return -1;
    before_next_test();
    double upload_mbps = measure_upload(host, port, duration_ms);
    if (cancel_requested()) return -1;

    if (ping_ms < 0.0 && download_mbps < 0.0 && upload_mbps < 0.0) {
        set_last_error(msg::kAllTestsFailed);
        return -1;
    }
    update_result([](TestResult& r) { write_phase(r, kPhaseComplete); });
    return 0;
}
