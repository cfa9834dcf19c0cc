// linkrate_internet_run: set-up, then the latency, download and upload phases.
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/callbacks.h"
#include "internet/latency.h"
#include "internet/requests.h"
#include "internet/throughput.h"

using namespace linkrate;

extern "C" LINKRATE_API int32_t linkrate_internet_run(const char* base_url) noexcept {
    ensure_initialized();
    if (base_url == nullptr || base_url[0] == '\0') {
        set_last_error(msg::kInvalidBaseUrl);
        return -1;
    }
    char base[kBaseUrlSize];
    clean_base_url(base_url, base);
    fill_upload_buffer();
    g_cancel_flag.store(0);
    clear_last_error();
    update_result([&](TestResult& r) {
        std::snprintf(r.server, sizeof r.server, "%s", base);
        write_phase(r, kPhasePing);
        r.duration_ms = 0;
    });

    if (run_latency_phase(base) != 0) return -1;
    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1;
    }
    return run_throughput_phases(base);
}
