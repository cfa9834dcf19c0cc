#include "run_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "frame/messages.h"
#include "frame/state.h"
#include "platform/platform.h"

namespace linkrate::test {
namespace {

std::mutex g_ticks_mutex;
std::vector<Tick> g_ticks;
const char* g_cancel_on = nullptr;

void recording_tick(const char* phase, double value, int32_t percent) {
    const char* cancel_on = nullptr;
    {
        std::lock_guard<std::mutex> hold(g_ticks_mutex);
        g_ticks.push_back({phase, value, percent, platform::now_seconds()});
        cancel_on = g_cancel_on;
    }
    if (cancel_on != nullptr && std::strcmp(phase, cancel_on) == 0) linkrate_cancel();
}

}  // namespace

void record_ticks(const char* cancel_on) {
    {
        std::lock_guard<std::mutex> hold(g_ticks_mutex);
        g_ticks.clear();
        g_cancel_on = cancel_on;
    }
    linkrate_set_tick(recording_tick);
}

std::vector<Tick> recorded_ticks() {
    std::lock_guard<std::mutex> hold(g_ticks_mutex);
    return g_ticks;
}

std::vector<Tick> ticks_of(const std::string& phase) {
    std::vector<Tick> chosen;
    for (const Tick& t : recorded_ticks()) {
        if (t.phase == phase) chosen.push_back(t);
    }
    return chosen;
}

TestResult record() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_last_result;
}

void seed_record(double ping, double download, double upload, double jitter) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_last_result.ping_ms = ping;
    g_last_result.download_mbps = download;
    g_last_result.upload_mbps = upload;
    g_last_result.jitter_ms = jitter;
    g_last_result.duration_ms = 1234;
    std::snprintf(g_last_result.server, sizeof g_last_result.server, "%s", "earlier");
    update_json_locked();
}

bool run_latency_only(const std::string& base) {
    record_ticks(kPhaseDownload);
    const int result = linkrate_internet_run(base.c_str());
    // Until the throughput phases exist the run ends after latency with 0.
    return result == 0;
}

}  // namespace linkrate::test

namespace linkrate::test {

int latency_attempt(const RecordedRequest& request) {
    const auto at = request.target.find("/empty?t=");
    if (request.method != "GET" || at == std::string::npos) return -1;
    return std::atoi(request.target.c_str() + at + 9);
}

}  // namespace linkrate::test
