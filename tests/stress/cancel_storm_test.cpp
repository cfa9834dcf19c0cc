// Storms of linkrate_cancel from several threads during every kind of test,
// while one host thread polls the JSON text. Each storm starts at another
// moment of the test, so cancels land in every stage of it. Every test ends
// with one of its documented outcomes, every text the poller reads is whole,
// and the process ends where it began. Every test runs in a process of its
// own; under ThreadSanitizer they show any race between the test, the
// cancels and the poller.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "frame/messages.h"
#include "nginx_fixture.h"
#include "platform/platform.h"
#include "stress_support.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

constexpr int kStormThreads = 3;
constexpr int kStormPauseUs = 100;

// A cancel takes effect after the block, attempt or latency request in
// progress; this bounds that with room for a loaded or instrumented machine.
constexpr double kCancelTakesEffectSeconds = 4.0;

// Storm start times in milliseconds after the test's start: at once, and in
// the early, middle and late part of a LAN test.
constexpr int kLanStormDelays[] = {0, 40, 250, 700};

struct Outcome {
    double result;
    double seconds;
    std::string message;
};

// Runs `test` on this thread while a storm that starts `delay_ms` later blows.
template <class Test>
Outcome run_in_storm(int delay_ms, Test test) {
    CancelStorm storm(kStormThreads, kStormPauseUs, delay_ms);
    const double start = platform::now_seconds();
    const double result = test();
    const double seconds = platform::now_seconds() - start;
    storm.stop();
    return {result, seconds, linkrate_last_error()};
}

void expect_cancel_honoured(const Outcome& outcome, int delay_ms, const std::string& what) {
    EXPECT_LT(outcome.seconds, delay_ms / 1000.0 + kCancelTakesEffectSeconds) << what;
}

class CancelStormLan : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = start_server_on_free_port();
        ASSERT_GT(port_, 0) << linkrate_last_error();
    }
    void TearDown() override {
        const long reads = poller_.stop();
        EXPECT_GT(reads, 0);
        EXPECT_TRUE(poller_.bad_texts().empty()) << poller_.bad_texts().front();
        linkrate_stop_server();
        base_.expect_back(port_);
    }

    Baseline base_;
    JsonPoller poller_;
    int port_ = 0;
};

}  // namespace

// A ping of many attempts: cancelled between attempts, it keeps the mean of
// those that succeeded, or fails when none had.
TEST_F(CancelStormLan, Ping) {
    for (int delay : kLanStormDelays) {
        Outcome o = run_in_storm(delay, [&] { return linkrate_ping(kLoopback, port_, 60); });
        const std::string what = "storm after " + std::to_string(delay) + " ms";
        expect_cancel_honoured(o, delay, what);
        if (o.result >= 0.0) {
            EXPECT_GT(o.result, 0.0) << what;
            EXPECT_EQ(o.message, msg::kCancelled) << what;
        } else {
            EXPECT_EQ(o.result, -1.0) << what;
            EXPECT_EQ(o.message, msg::kNoPings) << what;
        }
    }
}

// Downloads and uploads end with a recorded rate, of whatever moved before the
// cancel; a cancel that lands after the test cleared its flag but before the
// transfer began stops it there, with -1 and nothing recorded.
TEST_F(CancelStormLan, DownloadAndUpload) {
    for (auto* test : {linkrate_download, linkrate_upload}) {
        for (int delay : kLanStormDelays) {
            Outcome o = run_in_storm(delay, [&] { return test(kLoopback, port_, 1500); });
            const std::string what =
                std::string(test == linkrate_download ? "download" : "upload") + ", storm after " +
                std::to_string(delay) + " ms";
            expect_cancel_honoured(o, delay, what);
            EXPECT_TRUE(o.result >= 0.0 || o.result == -1.0) << what << ": " << o.result;
            EXPECT_EQ(o.message, msg::kCancelled) << what;
        }
    }
}

// The full run stops at the test that saw the cancel.
TEST_F(CancelStormLan, FullRun) {
    for (int delay : kLanStormDelays) {
        Outcome o = run_in_storm(delay, [&] { return linkrate_run_all(kLoopback, port_, 500); });
        const std::string what = "storm after " + std::to_string(delay) + " ms";
        expect_cancel_honoured(o, delay, what);
        EXPECT_EQ(o.result, -1.0) << what;
        EXPECT_TRUE(o.message == msg::kCancelled || o.message == msg::kNoPings)
            << what << ": " << o.message;
    }
}

namespace {

std::atomic<int> g_ticks{0};
void count_tick(const char*, double, int32_t) { g_ticks.fetch_add(1); }

}  // namespace

// The internet run against nginx: storms at its start and in its latency,
// download and upload phases.
TEST(CancelStormInternet, EveryPhase) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    Baseline base;
    linkrate_set_tick(count_tick);
    {
        JsonPoller poller;
        // The latency phase takes a few tenths of a second on loopback, then
        // each transfer phase 3 s.
        for (int delay : {0, 100, 1500, 4200}) {
            const std::string what = "storm after " + std::to_string(delay) + " ms";
            Outcome o = run_in_storm(
                delay, [&] { return double(linkrate_internet_run(nginx.http_base().c_str())); });
            expect_cancel_honoured(o, delay, what);
            EXPECT_EQ(o.result, -1.0) << what;
            EXPECT_EQ(o.message, msg::kCancelled) << what;
        }
        poller.stop();
        EXPECT_TRUE(poller.bad_texts().empty()) << poller.bad_texts().front();
        EXPECT_GT(poller.distinct(), 1);
    }
    linkrate_set_tick(nullptr);
    EXPECT_GT(g_ticks.load(), 0);
    base.expect_back();
}
