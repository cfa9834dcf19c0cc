// Latency phases that wait out the 3 s request time-out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "frame/messages.h"
#include "internet/latency.h"
#include "platform/platform.h"
#include "run_support.h"
#include "scripted_server.h"
#include "tarnwell/linkrate.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {}  // namespace

TEST(LatencySlow, ServerThatNeverAnswersFailsAfterTenTimeOuts) {
    ASSERT_EQ(linkrate_init(), 0);
    ScriptedServer server([](const RecordedRequest&) {
        Reply reply;
        reply.kind = Reply::Kind::silent;
        return reply;
    });
    ASSERT_TRUE(server.ok());
    record_ticks();
    const double start = platform::now_seconds();
    EXPECT_EQ(linkrate_internet_run(server.base().c_str()), -1);
    const double took = platform::now_seconds() - start;
    EXPECT_STREQ(linkrate_last_error(), msg::kPingFailed);
    EXPECT_GE(took, 30.1);
    EXPECT_LT(took, 33.0);
    EXPECT_TRUE(recorded_ticks().empty());
    EXPECT_STREQ(record().phase, "ping");
}

TEST(LatencySlow, LateRepliesLeaveGapsInTheTicks) {
    ASSERT_EQ(linkrate_init(), 0);
    // The first two replies come after the 3 s time-out; the other eight at once.
    ScriptedServer server([](const RecordedRequest& r) {
        Reply reply;
        const int attempt = latency_attempt(r);
        if (attempt == 0 || attempt == 1) reply.delay_ms = 3300;
        if (attempt < 0) reply.body_bytes = 65536;
        return reply;
    });
    ASSERT_TRUE(server.ok());
    ASSERT_TRUE(run_latency_only(server.base())) << linkrate_last_error();
    const auto ticks = ticks_of("ping");
    ASSERT_EQ(ticks.size(), 8u);
    double samples[8];
    for (int k = 0; k < 8; ++k) {
        EXPECT_EQ(ticks[k].percent, 30 + 10 * k);
        samples[k] = ticks[k].value;
    }
    const LatencySummary expected = summarize_latency(samples, 8);
    EXPECT_DOUBLE_EQ(record().ping_ms, expected.mean_ms);
    EXPECT_DOUBLE_EQ(record().jitter_ms, expected.jitter_ms);
}
