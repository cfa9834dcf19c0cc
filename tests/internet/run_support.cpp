#include "run_support.h"

#include <gtest/gtest.h>

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
    std::lock_guard<platform::Lock> hold(g_mutex);
    return g_last_result;
}

void seed_record(double ping, double download, double upload, double jitter) {
    update_result([&](TestResult& r) {
        r.ping_ms = ping;
        r.download_mbps = download;
        r.upload_mbps = upload;
        r.jitter_ms = jitter;
        r.duration_ms = 1234;
        std::snprintf(r.server, sizeof r.server, "%s", "earlier");
    });
}

bool run_latency_only(const std::string& base) {
    record_ticks(kPhaseDownload);
    const int result = linkrate_internet_run(base.c_str());
    if (result != -1 || std::strcmp(linkrate_last_error(), msg::kCancelled) != 0) return false;
    const TestResult r = record();
    return std::strcmp(r.phase, kPhaseDownload) == 0;
}

}  // namespace linkrate::test

namespace linkrate::test {

int latency_attempt(const RecordedRequest& request) {
    const auto at = request.target.find("/empty?t=");
    if (request.method != "GET" || at == std::string::npos) return -1;
    return std::atoi(request.target.c_str() + at + 9);
}

}  // namespace linkrate::test

namespace linkrate::test {

void expect_complete_run(int result) {
    EXPECT_EQ(result, 0) << linkrate_last_error();
    EXPECT_STREQ(linkrate_last_error(), "");
    const TestResult r = record();
    EXPECT_STREQ(r.phase, "complete");
    EXPECT_GE(r.duration_ms, 6000);
    EXPECT_LE(r.duration_ms, 8000);

    const std::vector<Tick> ticks = recorded_ticks();
    const std::vector<std::string> order = {"ping", "download", "upload", "complete"};
    std::size_t stage = 0;
    for (const Tick& t : ticks) {
        while (stage < order.size() && order[stage] != t.phase) ++stage;
        ASSERT_LT(stage, order.size()) << "tick " << t.phase << " out of phase order";
    }
    ASSERT_FALSE(ticks.empty());
    EXPECT_EQ(ticks.back().phase, "complete");
    EXPECT_EQ(ticks_of("complete").size(), 1u);
    EXPECT_EQ(ticks.back().value, r.upload_mbps);
    EXPECT_EQ(ticks.back().percent, 100);
    for (const char* phase : {"download", "upload"}) {
        const std::vector<Tick> of_phase = ticks_of(phase);
        EXPECT_GE(of_phase.size(), 20u) << phase;
        EXPECT_LE(of_phase.size(), 31u) << phase;
        for (std::size_t k = 0; k < of_phase.size(); ++k) {
            EXPECT_GE(of_phase[k].percent, 3) << phase;
            EXPECT_LE(of_phase[k].percent, 100) << phase;
            EXPECT_GE(of_phase[k].value, 0.0) << phase;
            if (k == 0) continue;
            EXPECT_GT(of_phase[k].percent, of_phase[k - 1].percent) << phase;
            // The callback reads the clock a moment after the run did, and on
            // a loaded machine that moment varies by milliseconds; a report on
            // every 50 ms poll would still fail this.
            EXPECT_GE(of_phase[k].at - of_phase[k - 1].at, 0.098 - 0.010) << phase;
        }
    }
}

}  // namespace linkrate::test

namespace linkrate::test {

void SeededRunTest::SetUp() {
    ASSERT_EQ(linkrate_init(), 0);
    seed_record(1.5, 200.0, 50.0, 0.25);
}

Reply downloads_of(const RecordedRequest& request, std::uint64_t body_bytes) {
    Reply reply;
    if (request.target.find("/garbage") != std::string::npos) reply.body_bytes = body_bytes;
    return reply;
}

}  // namespace linkrate::test
