// The result record's rendering into the snapshot and the host's copy of it.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>

#include "frame/result.h"
#include "frame/state.h"

using namespace linkrate;

namespace {

class Snapshot : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(linkrate_init(), 0); }

    // Applies `change` to the record and re-renders, as every writer does.
    template <class Change>
    static void update(Change change) {
        update_result(change);
    }

    static std::string text() { return linkrate_result_json(); }
};

}  // namespace

TEST_F(Snapshot, WritesEveryFieldInOrder) {
    update([](TestResult& r) {
        r.ping_ms = 0.5;
        r.download_mbps = 940.0;
        r.upload_mbps = 1e-7;
        r.duration_ms = -2000;
        r.jitter_ms = -0.0;
        std::snprintf(r.server, sizeof r.server, "%s", "a\"b\\c/\t\x7f\xc3\xa9:80");
        std::snprintf(r.phase, sizeof r.phase, "%s", kPhaseUpload);
    });
    EXPECT_EQ(text(),
              "{\"ping_ms\":0.5,\"download_mbps\":940.0,\"upload_mbps\":1e-7,"
              "\"duration_ms\":-2000,\"jitter_ms\":-0.0,"
              "\"server\":\"a\\\"b\\\\c/\\t\x7f\xc3\xa9:80\",\"phase\":\"upload\"}");
}

// Renderings that fail leave the snapshot as it was, while the record keeps
// what was stored, and the next good rendering shows every field.
TEST_F(Snapshot, FailedRenderingKeepsPreviousText) {
    update([](TestResult& r) { r.ping_ms = 3.25; });
    const std::string before = text();

    struct Case {
        const char* name;
        void (*change)(TestResult&);
    };
    const Case cases[] = {
        {"nan", [](TestResult& r) { r.download_mbps = std::nan(""); }},
        {"infinity", [](TestResult& r) { r.jitter_ms = std::numeric_limits<double>::infinity(); }},
        {"invalid utf-8", [](TestResult& r) { std::strcpy(r.server, "bad\xff"); }},
        {"cut utf-8", [](TestResult& r) { std::strcpy(r.server, "cut\xc3"); }},
        {"1024 bytes or more",
         [](TestResult& r) {
             std::memset(r.server, 0x01, 255);  // each byte escapes to \u0001
             r.server[255] = '\0';
         }},
    };
    for (const Case& c : cases) {
        update(c.change);
        EXPECT_EQ(text(), before) << c.name;
        update([](TestResult& r) {
            r.download_mbps = 0.0;
            r.jitter_ms = 0.0;
            std::strcpy(r.server, "lan");
        });
    }
    update([](TestResult& r) { r.upload_mbps = 2.0; });
    EXPECT_NE(text().find("\"ping_ms\":3.25,\"download_mbps\":0.0,\"upload_mbps\":2.0"),
              std::string::npos);
}

TEST_F(Snapshot, LongestTextThatFits) {
    // 255 bytes that escape to two each give a text just over 600 bytes.
    update([](TestResult& r) {
        std::memset(r.server, '"', 255);
        r.server[255] = '\0';
    });
    const std::string t = text();
    EXPECT_GT(t.size(), 600u);
    EXPECT_LT(t.size(), kJsonBufSize);
    EXPECT_NE(t.find("\"server\":\"\\\"\\\""), std::string::npos);
}

// A host that polls on one thread while a test renders on another always
// reads one complete text (run under ThreadSanitizer in CI).
TEST_F(Snapshot, PollerAlwaysReadsCompleteText) {
    const std::string short_server = "s";
    const std::string long_server(200, 'L');
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 20000; ++i) {
            update([&](TestResult& r) {
                const std::string& s = (i % 2 == 0) ? long_server : short_server;
                std::snprintf(r.server, sizeof r.server, "%s", s.c_str());
                r.duration_ms = i;
            });
        }
        done.store(true);
    });
    int reads = 0;
    while (!done.load() || reads < 10) {
        const char* t = linkrate_result_json();
        std::string copy = t;
        ASSERT_EQ(copy.front(), '{');
        ASSERT_EQ(copy.substr(copy.size() - 2), "\"}");
        const bool is_long = copy.find(long_server) != std::string::npos;
        const bool is_short = copy.find("\"server\":\"s\"") != std::string::npos;
        const bool is_idle = copy.find("\"server\":\"lan\"") != std::string::npos;
        ASSERT_TRUE(is_long || is_short || is_idle) << copy;
        ++reads;
    }
    writer.join();
}
