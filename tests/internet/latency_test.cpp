// The internet run's set-up and latency phase, against nginx and against
// scripted servers. Every run here stops once the latency phase is recorded.
#include "internet/latency.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <string>

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

class Latency : public SeededRunTest {};

std::string closed_port_base() { return "http://127.0.0.1:" + std::to_string(free_port()); }

}  // namespace

TEST_F(Latency, NullOrEmptyBaseChangesNothingButTheMessage) {
    for (const char* base : {static_cast<const char*>(nullptr), ""}) {
        const std::string before = linkrate_result_json();
        linkrate_cancel();
        EXPECT_EQ(linkrate_internet_run(base), -1);
        EXPECT_STREQ(linkrate_last_error(), msg::kInvalidBaseUrl);
        EXPECT_EQ(g_cancel_flag.load(), 1) << "a pending cancel stays pending";
        EXPECT_EQ(linkrate_result_json(), before);
    }
}

TEST_F(Latency, BasesThatReachNoServerFailThePhaseAfterSetUp) {
    struct Case {
        std::string base, server;
    };
    const std::string refused = closed_port_base();
    for (const Case& c : {Case{"////", ""}, Case{"nosuch://127.0.0.1/x//", "nosuch://127.0.0.1/x"},
                          Case{"http://[::1", "http://[::1"}, Case{refused + "/", refused}}) {
        seed_record(1.5, 200.0, 50.0, 0.25);
        record_ticks();
        const int descriptors = open_descriptor_count();
        EXPECT_EQ(linkrate_internet_run(c.base.c_str()), -1) << c.base;
        EXPECT_STREQ(linkrate_last_error(), msg::kPingFailed);
        EXPECT_TRUE(recorded_ticks().empty());
        const TestResult r = record();
        EXPECT_STREQ(r.server, c.server.c_str());
        EXPECT_STREQ(r.phase, "ping");
        EXPECT_EQ(r.duration_ms, 0);
        EXPECT_EQ(r.ping_ms, 1.5);
        EXPECT_EQ(open_descriptor_count(), descriptors) << "no handle or socket left behind";
    }
}

TEST_F(Latency, BaseThatIsNotUtf8KeepsTheEarlierSnapshot) {
    const std::string before = linkrate_result_json();
    const std::string base = closed_port_base() + "/\xff\xfe";
    EXPECT_EQ(linkrate_internet_run(base.c_str()), -1);
    EXPECT_STREQ(linkrate_last_error(), msg::kPingFailed);
    EXPECT_STREQ(record().server, base.c_str()) << "the record holds the text";
    EXPECT_EQ(linkrate_result_json(), before) << "its rendering fails, so the text stays";
}

// A long base of two-byte characters: the cut at 255 bytes would split one,
// so it comes a byte earlier and the snapshot shows the run's server.
TEST_F(Latency, LongUtf8BaseIsCutToWholeCharactersAndRendered) {
    std::string base = closed_port_base() + "/";
    if (base.size() % 2 != 0) base += "x";  // the byte at 254 leads a character
    while (base.size() < 300) base += "\xC3\xA9";
    EXPECT_EQ(linkrate_internet_run(base.c_str()), -1);
    EXPECT_STREQ(linkrate_last_error(), msg::kPingFailed);
    const std::string kept = base.substr(0, 254);
    EXPECT_STREQ(record().server, kept.c_str());
    EXPECT_NE(std::string(linkrate_result_json()).find("\"server\":\"" + kept + "\""),
              std::string::npos)
        << linkrate_result_json();
}

TEST_F(Latency, HandleThatCannotBeCreatedFailsAfterSetUp) {
    platform::fail_next(platform::Fault::http_transfer);
    EXPECT_EQ(linkrate_internet_run("http://127.0.0.1:9/"), -1);
    EXPECT_STREQ(linkrate_last_error(), msg::kPingHandleFailed);
    EXPECT_STREQ(record().phase, "ping");
    EXPECT_STREQ(record().server, "http://127.0.0.1:9");
}

class LatencyAgainstNginx : public Latency, public ::testing::WithParamInterface<bool> {};

TEST_P(LatencyAgainstNginx, RecordsMeanAndJitterOfTenTickedSamples) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    const std::string base = GetParam() ? nginx.https_base() : nginx.http_base();
    linkrate_cancel();  // a cancel made before the run is forgotten
    ASSERT_TRUE(run_latency_only(base + "//")) << linkrate_last_error();

    const auto ticks = ticks_of("ping");
    ASSERT_EQ(ticks.size(), 10u);
    double samples[10];
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(ticks[i].percent, 10 * (i + 1));
        EXPECT_GT(ticks[i].value, 0.0);
        EXPECT_LT(ticks[i].value, 3000.0);
        samples[i] = ticks[i].value;
    }
    const LatencySummary expected = summarize_latency(samples, 10);
    const TestResult r = record();
    EXPECT_STREQ(r.server, base.c_str());
    EXPECT_STREQ(r.phase, "download");
    EXPECT_DOUBLE_EQ(r.ping_ms, expected.mean_ms);
    EXPECT_DOUBLE_EQ(r.jitter_ms, expected.jitter_ms);
    EXPECT_EQ(r.duration_ms, 0);
    EXPECT_EQ(r.download_mbps, 200.0) << "earlier rates stay until their phase";
    EXPECT_EQ(r.upload_mbps, 50.0);
}

INSTANTIATE_TEST_SUITE_P(HttpAndHttps, LatencyAgainstNginx, ::testing::Bool(),
                         [](const auto& param_info) {
                             return param_info.param ? "https" : "http";
                         });

TEST_F(Latency, LongBaseIsCutBeforeItsSlashesGo) {
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    std::string kept = nginx.http_base() + "/";
    kept += std::string(250 - kept.size(), 'p');
    const std::string base = kept + std::string(40, '/') + "tail";
    ASSERT_TRUE(run_latency_only(base)) << "nginx answers 404, which counts";
    EXPECT_STREQ(record().server, kept.c_str());
    EXPECT_EQ(ticks_of("ping").size(), 10u);
}

TEST_F(Latency, RequestLinesCarryAttemptAndClockAndAnyStatusCounts) {
    ScriptedServer server([](const RecordedRequest& r) {
        Reply reply = downloads_of(r, 65536);
        const int attempt = latency_attempt(r);
        if (attempt >= 0) reply.status = attempt % 2 ? 500 : 404;
        if (attempt == 4) reply.body_bytes = 100000;  // any body is dropped
        return reply;
    });
    ASSERT_TRUE(server.ok());
    const double before_ms = platform::now_seconds() * 1000.0;
    ASSERT_TRUE(run_latency_only(server.base() + "/base/"));
    const double after_ms = platform::now_seconds() * 1000.0;

    int next = 0;
    long last_clock = 0;
    for (const RecordedRequest& r : server.requests()) {
        if (latency_attempt(r) < 0) continue;
        const std::string prefix = "/base/empty?t=" + std::to_string(next) + "_";
        ASSERT_EQ(r.target.rfind(prefix, 0), 0u) << r.target;
        const long clock = std::atol(r.target.c_str() + prefix.size());
        EXPECT_EQ(r.target, prefix + std::to_string(clock)) << "whole milliseconds";
        EXPECT_GE(clock, static_cast<long>(before_ms));
        EXPECT_LE(clock, static_cast<long>(after_ms));
        EXPECT_GE(clock, last_clock);
        last_clock = clock;
        ++next;
    }
    EXPECT_EQ(next, 10);
    EXPECT_EQ(ticks_of("ping").size(), 10u);
    EXPECT_STREQ(record().phase, "download");
}

TEST_F(Latency, CancelDuringAnAttemptEndsTheRunAfterIt) {
    // During an early attempt the run stops without a pause or a further
    // request; during the tenth it stops after the handle's clean-up. Either
    // way the attempt itself still counts and ticks, and nothing is recorded.
    for (int cancelled_attempt : {3, 9}) {
        seed_record(1.5, 200.0, 50.0, 0.25);
        ScriptedServer server([cancelled_attempt](const RecordedRequest& r) {
            Reply reply = downloads_of(r, 65536);
            if (latency_attempt(r) == cancelled_attempt) {
                linkrate_cancel();
                reply.delay_ms = 100;
            }
            return reply;
        });
        ASSERT_TRUE(server.ok());
        record_ticks();
        EXPECT_EQ(linkrate_internet_run(server.base().c_str()), -1);
        EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
        EXPECT_EQ(ticks_of("ping").size(), static_cast<std::size_t>(cancelled_attempt + 1));
        const auto heads = server.heads();
        ASSERT_EQ(heads.size(), static_cast<std::size_t>(cancelled_attempt + 1))
            << "no request after the cancelled one";
        EXPECT_EQ(heads.back().rfind("GET /empty?t=" + std::to_string(cancelled_attempt) + "_", 0),
                  0u);
        const TestResult r = record();
        EXPECT_STREQ(r.phase, "ping");
        EXPECT_EQ(r.ping_ms, 1.5);
        EXPECT_EQ(r.jitter_ms, 0.25);
    }
}
