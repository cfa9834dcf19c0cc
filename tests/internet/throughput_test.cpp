// The download and upload phases: a full run against nginx, cancels from
// another thread, and multi handles that cannot be created.
#include "internet/throughput.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "frame/messages.h"
#include "frame/state.h"
#include "nginx_fixture.h"
#include "platform/platform.h"
#include "run_support.h"
#include "scripted_server.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

class Throughput : public SeededRunTest {};

int posts_made(const ScriptedServer& server) {
    int posts = 0;
    for (const auto& head : server.heads()) posts += head.rfind("POST ", 0) == 0;
    return posts;
}

}  // namespace

TEST(ThroughputArithmetic, RatesAndPercents) {
    EXPECT_DOUBLE_EQ(rate_mbps(1250000, 1.0), 10.0);
    EXPECT_DOUBLE_EQ(rate_mbps(0, 0.001), 0.0);
    EXPECT_EQ(phase_percent(0.098), 3);
    EXPECT_EQ(phase_percent(1.5), 50);
    EXPECT_EQ(phase_percent(2.99), 99);
    EXPECT_EQ(phase_percent(3.02), 100) << "capped from 100.67";
}

TEST_F(Throughput, FullRunAgainstNginx) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    record_ticks();
    const int descriptors = open_descriptor_count();
    expect_complete_run(linkrate_internet_run(nginx.http_base().c_str()));
    EXPECT_GT(record().download_mbps, 0.0);
    EXPECT_GT(record().upload_mbps, 0.0);
    EXPECT_EQ(open_descriptor_count(), descriptors) << "every handle and connection released";
}

TEST_F(Throughput, CancelFromAnotherThreadInEachPhase) {
    struct Case {
        const char* cancel_in;
        bool posts_expected;
    };
    for (const Case& c : {Case{"download", false}, Case{"upload", true}}) {
        seed_record(1.5, 200.0, 50.0, 0.25);
        ScriptedServer server([](const RecordedRequest& r) { return downloads_of(r, 1 << 20); });
        ASSERT_TRUE(server.ok());
        record_ticks();
        std::thread canceller([&c] {
            eventually([&c] { return !ticks_of(c.cancel_in).empty(); }, 20000);
            linkrate_cancel();
        });
        const double start = platform::now_seconds();
        EXPECT_EQ(linkrate_internet_run(server.base().c_str()), -1);
        const double took = platform::now_seconds() - start;
        canceller.join();
        EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
        const TestResult r = record();
        EXPECT_STREQ(r.phase, c.cancel_in);
        EXPECT_EQ(r.upload_mbps, 50.0);
        EXPECT_EQ(r.duration_ms, 0);
        if (c.posts_expected) {
            EXPECT_NE(r.download_mbps, 200.0) << "the download phase was recorded";
            EXPECT_GT(posts_made(server), 0);
            EXPECT_LT(took, 5.0);
        } else {
            EXPECT_EQ(r.download_mbps, 200.0);
            EXPECT_EQ(posts_made(server), 0);
            EXPECT_LT(took, 2.0);
        }
        EXPECT_TRUE(ticks_of("complete").empty());
    }
}

TEST_F(Throughput, MultiHandleThatCannotBeCreatedEndsTheRun) {
    struct Case {
        int skip;
        const char* message;
        const char* phase;
    };
    for (const Case& c : {Case{0, msg::kDownloadMultiFailed, "download"},
                          Case{1, msg::kUploadMultiFailed, "upload"}}) {
        seed_record(1.5, 200.0, 50.0, 0.25);
        ScriptedServer server([](const RecordedRequest& r) { return downloads_of(r, 1 << 20); });
        ASSERT_TRUE(server.ok());
        record_ticks();
        platform::fail_next(platform::Fault::http_multi, c.skip);
        EXPECT_EQ(linkrate_internet_run(server.base().c_str()), -1);
        EXPECT_STREQ(linkrate_last_error(), c.message);
        const TestResult r = record();
        EXPECT_STREQ(r.phase, c.phase);
        EXPECT_NE(r.ping_ms, 1.5) << "the latency phase was recorded";
        EXPECT_EQ(r.upload_mbps, 50.0);
        EXPECT_EQ(posts_made(server), 0);
    }
}

TEST_F(Throughput, UploadLeavesOutWhatItsConnectionsHaveNotDelivered) {
    ScriptedServer server([](const RecordedRequest& r) { return downloads_of(r, 1 << 20); });
    ASSERT_TRUE(server.ok());
    record_ticks();
    // Every connection tells more bytes not yet acknowledged than the phase
    // can hand over: nothing counts as arrived, though the bodies went out.
    platform::report_unacknowledged(1LL << 40);
    expect_complete_run(linkrate_internet_run(server.base().c_str()));
    EXPECT_GT(record().download_mbps, 0.0) << "downloads count what they receive";
    EXPECT_EQ(record().upload_mbps, 0.0);
    for (const Tick& tick : ticks_of("upload")) EXPECT_EQ(tick.value, 0.0) << tick.percent;
    std::uint64_t received = 0;
    for (const RecordedRequest& r : server.requests()) received += r.body_received;
    EXPECT_GT(received, 0u);
    EXPECT_GT(posts_made(server), 0);
}
