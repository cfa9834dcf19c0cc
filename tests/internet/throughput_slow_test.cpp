// Full internet runs (each about 6 s): nginx over HTTPS, a recording server,
// transfers that fail in every way, and transfers that cannot be created.
#include <gtest/gtest.h>

#include <string>

#include "frame/state.h"
#include "nginx_fixture.h"
#include "platform/platform.h"
#include "run_support.h"
#include "scripted_server.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

constexpr std::uint64_t kBodySize = 10485760;

bool is_download(const RecordedRequest& r) { return r.target.rfind("/garbage", 0) == 0; }
bool is_upload(const RecordedRequest& r) { return r.method == "POST"; }

// Download bodies as large as nginx's, so the four transfers overlap.
Reply large_downloads(const RecordedRequest& r) { return downloads_of(r, 26214400); }

// What the two upload transfers can count against a server that answers
// every POST with an error: only a POST whose reply has not come when the
// phase ends counts, at most one body each, over the 3 s phase.
constexpr double kUnansweredUploadsMbps = 2.0 * kBodySize * 8 / (1e6 * 3.0);

// 0: exactly 0.0; 1: positive; 2: no more than unanswered POSTs add; -1: any.
void expect_rate(double rate, int expected) {
    if (expected == 0) {
        EXPECT_EQ(rate, 0.0);
    } else if (expected == 1) {
        EXPECT_GT(rate, 0.0);
    } else if (expected == 2) {
        EXPECT_LE(rate, kUnansweredUploadsMbps);
    }
}

}  // namespace

TEST(ThroughputSlow, FullRunAgainstNginxOverHttps) {
    ASSERT_EQ(linkrate_init(), 0);
    NginxFixture nginx;
    ASSERT_TRUE(nginx.ok()) << nginx.error_log();
    record_ticks();
    expect_complete_run(linkrate_internet_run(nginx.https_base().c_str()));
    EXPECT_GT(record().download_mbps, 0.0);
    EXPECT_GT(record().upload_mbps, 0.0);
}

TEST(ThroughputSlow, RequestsSeenByARecordingServer) {
    ASSERT_EQ(linkrate_init(), 0);
    ScriptedServer server(large_downloads);
    ASSERT_TRUE(server.ok());
    record_ticks();
    expect_complete_run(linkrate_internet_run((server.base() + "/").c_str()));

    int downloads = 0;
    int uploads = 0;
    int partial_uploads = 0;
    for (const RecordedRequest& r : server.requests()) {
        if (is_download(r)) {
            ++downloads;
            EXPECT_EQ(r.method, "GET");
            EXPECT_EQ(r.target, "/garbage?ckSize=25");
        } else if (is_upload(r)) {
            ++uploads;
            EXPECT_EQ(r.target, "/empty");
            EXPECT_EQ(r.content_length, kBodySize);
            EXPECT_TRUE(r.body_all_z) << "every body byte is 'Z'";
            EXPECT_FALSE(r.has_header("Expect")) << "a body goes out without waiting: " << r.head;
            partial_uploads += r.body_received != kBodySize;
        }
    }
    EXPECT_EQ(server.max_concurrent("GET", "/garbage"), 4);
    EXPECT_EQ(server.max_concurrent("POST", "/empty"), 2);
    EXPECT_GT(downloads, 4) << "each download is requested again when it ends";
    EXPECT_GT(uploads - partial_uploads, 2) << "each upload is posted again when it ends";
    EXPECT_LE(partial_uploads, 2) << "only the two cut off at the phase's end";
    EXPECT_GT(record().download_mbps, 0.0);
    EXPECT_GT(record().upload_mbps, 0.0);
}

TEST(ThroughputSlow, TransfersThatFailAreRestartedForTheWholePhase) {
    struct Case {
        const char* name;
        Reply download, upload;
        int download_rate, upload_rate;  // as expect_rate() takes them
    };
    Reply refuse{Reply::Kind::refuse_later};
    Reply reset{Reply::Kind::reset};
    Reply ok{Reply::Kind::respond, 200, 1 << 20};
    Reply not_found{Reply::Kind::respond, 404, 1000};
    Reply failed_early{Reply::Kind::respond, 500, 0, 0, 0, false};
    Reply failed_after_body{Reply::Kind::respond, 500, 100};
    Reply cut_short{Reply::Kind::truncate, 200, 1 << 20, 1000};
    Reply cut_short_early{Reply::Kind::truncate, 200, 1000, 10, 0, false};
    Reply empty{Reply::Kind::respond, 200, 0};
    // The run registers no tick callback: the phases run exactly the same.
    linkrate_set_tick(nullptr);
    for (const Case& c :
         {Case{"refused", refuse, refuse, 0, 0}, Case{"statuses", not_found, failed_early, 0, 2},
          Case{"uploads refused", ok, failed_after_body, 1, 2}, Case{"resets", reset, reset, 0, 1},
          Case{"cut short", cut_short, cut_short_early, 1, -1},
          Case{"empty bodies", empty, empty, 0, 1}}) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(linkrate_init(), 0);
        ScriptedServer server([&c](const RecordedRequest& r) {
            if (is_download(r)) return c.download;
            if (is_upload(r)) return c.upload;
            return Reply{};
        });
        ASSERT_TRUE(server.ok());
        EXPECT_EQ(linkrate_internet_run(server.base().c_str()), 0) << linkrate_last_error();
        const TestResult r = record();
        EXPECT_STREQ(r.phase, "complete");
        EXPECT_GE(r.duration_ms, 6000);
        EXPECT_LE(r.duration_ms, 8000);
        expect_rate(r.download_mbps, c.download_rate);
        expect_rate(r.upload_mbps, c.upload_rate);
        int downloads = 0;
        for (const auto& request : server.requests()) downloads += is_download(request);
        if (c.download.kind != Reply::Kind::refuse_later) {
            EXPECT_GT(downloads, 8) << "ended transfers are requested again";
        }
    }
}

TEST(ThroughputSlow, TransfersThatCannotBeCreatedAreLeftOut) {
    ASSERT_EQ(linkrate_init(), 0);
    ScriptedServer server(large_downloads);
    ASSERT_TRUE(server.ok());
    // The latency handle is made first; the first download handle fails.
    platform::fail_next(platform::Fault::http_transfer, 1);
    // The first upload handle fails too: armed once the download phase runs.
    static std::atomic<bool> armed{false};
    linkrate_set_tick([](const char* phase, double, int32_t) {
        if (std::string(phase) == "download" && !armed.exchange(true)) {
            platform::fail_next(platform::Fault::http_transfer);
        }
    });
    EXPECT_EQ(linkrate_internet_run(server.base().c_str()), 0) << linkrate_last_error();
    EXPECT_STREQ(record().phase, "complete");
    EXPECT_EQ(server.max_concurrent("GET", "/garbage"), 3);
    EXPECT_EQ(server.max_concurrent("POST", "/empty"), 1);
    EXPECT_GT(record().download_mbps, 0.0);
    EXPECT_GT(record().upload_mbps, 0.0) << "the second upload transfer alone";
}

// Servers that answer the latency requests but give the transfers nothing
// to count: one drops every transfer with a reset as soon as its request
// arrives, one answers 404 to everything (the body of an error reply is no
// download, and a refused POST no upload). Each transfer then rests 50 ms
// before its next attempt, at most about 61 attempts in a 3 s phase, instead
// of opening connection after connection without rest.
TEST(ThroughputSlow, TransfersThatMoveNothingRestBeforeTheNextAttempt) {
    const Reply drop{Reply::Kind::reset, 200, 0, 0, 0, false};  // no request body is read
    const Reply not_found{Reply::Kind::respond, 404, 150, 0, 0, false};
    const struct {
        const char* name;
        Reply latency, transfers;
        // A reset comes after the first bytes were acknowledged, and those
        // count; a refused POST counts nothing once its reply has come.
        bool upload_refused;
    } cases[] = {{"resets", Reply{}, drop, false},
                 {"404 to everything", not_found, not_found, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(linkrate_init(), 0);
        ScriptedServer server([&c](const RecordedRequest& r) {
            return is_download(r) || is_upload(r) ? c.transfers : c.latency;
        });
        ASSERT_TRUE(server.ok());
        EXPECT_EQ(linkrate_internet_run(server.base().c_str()), 0) << linkrate_last_error();
        EXPECT_STREQ(record().phase, "complete");
        EXPECT_EQ(record().download_mbps, 0.0);
        if (c.upload_refused) expect_rate(record().upload_mbps, 2);
        int downloads = 0;
        int uploads = 0;
        for (const std::string& head : server.heads()) {
            downloads += head.rfind("GET /garbage", 0) == 0;
            uploads += head.rfind("POST ", 0) == 0;
        }
        // Attempts per transfer: one at the start, then one per 50 ms at
        // most over a phase of a little more than 3 s.
        constexpr int kMostPerTransfer = 65;
        EXPECT_GT(downloads, 4 * 2) << "each transfer is still tried again";
        EXPECT_LE(downloads, 4 * kMostPerTransfer);
        EXPECT_GT(uploads, 2 * 2);
        EXPECT_LE(uploads, 2 * kMostPerTransfer);
    }
}
