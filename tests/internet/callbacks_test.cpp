// The transfer callbacks, the request URLs and the latency arithmetic, without
// any network.
#include "internet/callbacks.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "frame/state.h"
#include "internet/latency.h"
#include "internet/requests.h"

using namespace linkrate;

namespace {

UploadStream fresh_stream() {
    UploadStream s{};
    reset_upload_stream(s);
    return s;
}

}  // namespace

TEST(UploadRead, CapsEachCallAndEndsTheBodyExactly) {
    fill_upload_buffer();
    g_cancel_flag.store(0);
    std::vector<char> room(100000, 0);
    struct Case {
        std::uint64_t offset;
        std::size_t size, count;
        std::size_t expected;
    };
    // Room of 100000 gets the 65536 cap; 16384 gets 16384; 1000 bytes left of
    // the body give 1000 and then the end of the body.
    for (const Case& c :
         {Case{0, 1, 100000, 65536}, Case{0, 16384, 1, 16384},
          Case{kUploadBodySize - 1000, 4, 4096, 1000}, Case{kUploadBodySize, 1, 16384, 0}}) {
        UploadStream s = fresh_stream();
        s.body_offset = c.offset;
        EXPECT_EQ(curl_internet_up_cb(room.data(), c.size, c.count, &s), c.expected)
            << "offset " << c.offset;
        EXPECT_EQ(s.body_offset, c.offset + c.expected);
        EXPECT_EQ(s.total_sent, c.expected);
    }
}

// Runs on several host threads share the one payload: a run that starts
// while another uploads must not write it again under the other's reads (run
// under ThreadSanitizer in CI).
TEST(UploadRead, RunsOnSeveralThreadsShareThePayload) {
    g_cancel_flag.store(0);
    std::vector<std::thread> runs;
    std::atomic<int> not_z{0};
    for (int r = 0; r < 3; ++r) {
        runs.emplace_back([&] {
            std::vector<char> room(kUploadChunkSize);
            for (int i = 0; i < 200; ++i) {
                fill_upload_buffer();
                UploadStream s = fresh_stream();
                const std::size_t n = curl_internet_up_cb(room.data(), 1, room.size(), &s);
                for (std::size_t k = 0; k < n; ++k) not_z += room[k] != 'Z';
            }
        });
    }
    for (auto& run : runs) run.join();
    EXPECT_EQ(not_z.load(), 0);
}

TEST(UploadRead, HandsOverWholeBodiesOfZAndKeepsCounting) {
    fill_upload_buffer();
    g_cancel_flag.store(0);
    UploadStream s = fresh_stream();
    std::vector<char> room(30000);
    for (int body = 1; body <= 2; ++body) {
        std::uint64_t got = 0;
        bool all_z = true;
        for (;;) {
            std::memset(room.data(), 0, room.size());
            std::size_t n = curl_internet_up_cb(room.data(), 1, room.size(), &s);
            if (n == 0) break;
            for (std::size_t k = 0; k < n; ++k) all_z &= room[k] == 'Z';
            got += n;
        }
        EXPECT_EQ(got, kUploadBodySize);
        EXPECT_TRUE(all_z);
        EXPECT_EQ(s.total_sent, kUploadBodySize * body);
        s.body_offset = 0;  // what a restart does
    }
}

TEST(UploadRead, CancelAbortsBeforeTheEndOfBodyTestAndChangesNothing) {
    fill_upload_buffer();
    char room[16];
    for (std::uint64_t offset : {std::uint64_t{0}, kUploadBodySize}) {
        UploadStream s = fresh_stream();
        s.body_offset = offset;
        s.total_sent = 77;
        g_cancel_flag.store(1);
        EXPECT_EQ(curl_internet_up_cb(room, 1, sizeof room, &s), CURL_READFUNC_ABORT);
        EXPECT_EQ(s.body_offset, offset);
        EXPECT_EQ(s.total_sent, 77u);
        EXPECT_EQ(s.body_size, kUploadBodySize);
    }
    g_cancel_flag.store(0);
}

TEST(WriteCallbacks, TakeEverythingAndCountOnlyDownloads) {
    std::uint64_t counted = 5;
    char data[8] = {};
    EXPECT_EQ(curl_internet_down_cb(data, 4, 2, &counted), 8u);
    EXPECT_EQ(curl_internet_down_cb(data, 1, 0, &counted), 0u);
    EXPECT_EQ(counted, 13u);
    g_cancel_flag.store(1);  // downloads never look at the cancel flag
    EXPECT_EQ(curl_internet_down_cb(data, 8, 1, &counted), 8u);
    g_cancel_flag.store(0);
    EXPECT_EQ(counted, 21u);
    EXPECT_EQ(curl_discard_cb(data, 3, 1000000, nullptr), 3000000u);
    EXPECT_EQ(curl_discard_cb(data, 1, 0, nullptr), 0u);
}

TEST(RequestUrls, HaveTheFixedShapes) {
    char url[kRequestUrlSize];
    format_latency_url(url, "http://h:1", 3, 12.3456);
    EXPECT_STREQ(url, "http://h:1/empty?t=3_12345");
    format_download_url(url, "http://h:1/base");
    EXPECT_STREQ(url, "http://h:1/base/garbage?ckSize=25");
    format_upload_url(url, "");
    EXPECT_STREQ(url, "/empty");

    // Two URLs of one millisecond differ only in the attempt index.
    char other[kRequestUrlSize];
    format_latency_url(url, "https://x", 0, 5.0001);
    format_latency_url(other, "https://x", 9, 5.0004);
    EXPECT_STREQ(url, "https://x/empty?t=0_5000");
    EXPECT_STREQ(other, "https://x/empty?t=9_5000");

    // The longest base fits with the longest clock text.
    const std::string base(255, 'a');
    format_latency_url(url, base.c_str(), 9, -2147483.6485);
    EXPECT_EQ(std::string(url), base + "/empty?t=9_-2147483648");
}

// A base cut at 255 bytes keeps whole UTF-8 sequences: the cut moves back to
// the lead byte of a sequence it would split, and only then do slashes go.
TEST(BaseUrl, CutKeepsWholeUtf8Sequences) {
    struct Case {
        std::string head;  // fills the text up to the 255-byte limit or beyond
        std::string tail;  // starts at byte 255
        std::size_t kept;  // bytes of head that stay
    };
    const std::string e_acute = "\xC3\xA9", euro = "\xE2\x82\xAC", clef = "\xF0\x9D\x84\x9E";
    const Case cases[] = {
        {std::string(254, 'a') + "\xC3", "\xA9", 254},          // 2 bytes, cut after 1
        {std::string(253, 'a') + "\xE2\x82", "\xAC", 253},      // 3 bytes, cut after 2
        {std::string(254, 'a') + "\xE2", "\x82\xAC", 254},      // 3 bytes, cut after 1
        {std::string(252, 'a') + "\xF0\x9D\x84", "\x9E", 252},  // 4 bytes, cut after 3
        {std::string(253, 'a') + e_acute, euro, 255},           // ends on a whole sequence
        {std::string(252, 'a') + euro, clef, 255},
        {std::string(254, '/') + "\xC3", "\xA9", 0},                // cut back, then slashes go
        {std::string(254, 'a') + "\xFF", "\xA9", 255},              // not UTF-8: cut at 255
        {std::string(251, 'a') + "\xBF\xBF\xBF\xBF", "\xBF", 255},  // no lead byte in reach
        {std::string(253, 'a') + "\xC3\xA9", "", 255},              // not cut at all
    };
    for (const Case& c : cases) {
        const std::string input = c.head + c.tail;
        char base[kBaseUrlSize];
        clean_base_url(input.c_str(), base);
        std::string expected = c.head.substr(0, c.kept);
        while (!expected.empty() && expected.back() == '/') expected.pop_back();
        EXPECT_EQ(std::string(base), expected) << "case with " << input.size() << " bytes";
    }
}

TEST(RequestUrls, ClockWrapsToASigned32BitNumber) {
    EXPECT_EQ(clock_ms_wrapped(0.0), 0);
    EXPECT_EQ(clock_ms_wrapped(2147483.6475), 2147483647);
    EXPECT_EQ(clock_ms_wrapped(2147483.6485), -2147483647 - 1);
    EXPECT_EQ(clock_ms_wrapped(4294967.2975), 1);
    EXPECT_EQ(clock_ms_wrapped(-0.001), -1);
}

// Clocks beyond the 64-bit range of milliseconds still wrap, and clocks that
// are not finite read as 0, with no undefined conversion on the way.
TEST(RequestUrls, ClockOfAnyMagnitudeWraps) {
    const double far = std::ldexp(1.0, 61) + std::ldexp(1.0, 20);  // 1000 x far is exact
    EXPECT_EQ(clock_ms_wrapped(far), 1048576000);
    EXPECT_EQ(clock_ms_wrapped(-far), -1048576000);
    EXPECT_EQ(clock_ms_wrapped(1e300), 0);
    EXPECT_EQ(clock_ms_wrapped(std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(clock_ms_wrapped(-std::numeric_limits<double>::infinity()), 0);
    EXPECT_EQ(clock_ms_wrapped(std::numeric_limits<double>::quiet_NaN()), 0);
}

TEST(LatencySummary, MeanAndJitterOfConsecutiveSamples) {
    const double worked[] = {10.0, 20.0, 15.0};
    LatencySummary s = summarize_latency(worked, 3);
    EXPECT_DOUBLE_EQ(s.mean_ms, 15.0);
    EXPECT_DOUBLE_EQ(s.jitter_ms, 7.5);

    const double one[] = {4.25};
    s = summarize_latency(one, 1);
    EXPECT_DOUBLE_EQ(s.mean_ms, 4.25);
    EXPECT_DOUBLE_EQ(s.jitter_ms, 0.0);

    // Order matters for the jitter, not for the mean.
    const double zigzag[] = {1.0, 9.0, 1.0, 9.0};
    const double sorted[] = {1.0, 1.0, 9.0, 9.0};
    EXPECT_DOUBLE_EQ(summarize_latency(zigzag, 4).jitter_ms, 8.0);
    EXPECT_DOUBLE_EQ(summarize_latency(sorted, 4).jitter_ms, 8.0 / 3.0);
    EXPECT_DOUBLE_EQ(summarize_latency(zigzag, 4).mean_ms, 5.0);
}
