// Unit tests for the bounded JSON writer and the record renderer. The exact
// number and string forms are pinned by the vector files; these tests cover the
// bounds, the failure paths and the record sizes.
#include "frame/json_writer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "frame/result.h"

namespace linkrate {
namespace {

constexpr char kSentinel = '\x5A';

// A base record that renders successfully; cases change one part of it.
TestResult base_record() {
    TestResult r{};
    r.ping_ms = 1.5;
    r.download_mbps = 940.25;
    r.upload_mbps = 930.0;
    r.duration_ms = 2000;
    r.jitter_ms = 0.25;
    std::strcpy(r.server, "lan");
    std::strcpy(r.phase, kPhaseComplete);
    return r;
}

struct AppendCase {
    const char* name;
    std::function<void(JsonWriter&)> append;
    std::string_view text;
};

const std::vector<AppendCase>& append_cases() {
    static const std::vector<AppendCase> cases = {
        {"raw", [](JsonWriter& w) { w.raw("{\"a\":"); }, "{\"a\":"},
        {"real_plain", [](JsonWriter& w) { w.real(-123456.789); }, "-123456.789"},
        {"real_exponent", [](JsonWriter& w) { w.real(-2.2250738585072014e-308); },
         "-2.2250738585072014e-308"},
        {"int64_min", [](JsonWriter& w) { w.integer(std::numeric_limits<std::int64_t>::min()); },
         "-9223372036854775808"},
        {"int64_max", [](JsonWriter& w) { w.integer(std::numeric_limits<std::int64_t>::max()); },
         "9223372036854775807"},
        {"string_escapes", [](JsonWriter& w) { w.string("a\n\x01\xE2\x82\xAC", 6); },
         "\"a\\n\\u0001\xE2\x82\xAC\""},
        // A NUL given through an explicit length is data, not a terminator.
        {"string_nul", [](JsonWriter& w) { w.string("a\0b", 3); }, "\"a\\u0000b\""},
        {"string_empty_null_ptr", [](JsonWriter& w) { w.string(nullptr, 0); }, "\"\""},
    };
    return cases;
}

// Each append fits exactly at its own length and fails one byte short, and a
// failing append never writes past the capacity.
TEST(JsonWriterTest, AppendFitsExactlyAndFailsOneByteShort) {
    for (const auto& c : append_cases()) {
        SCOPED_TRACE(c.name);
        for (std::size_t cap : {c.text.size(), c.text.size() - 1, std::size_t{0}}) {
            SCOPED_TRACE(cap);
            std::vector<char> buf(c.text.size() + 8, kSentinel);
            JsonWriter w(buf.data(), cap);
            c.append(w);
            const bool fits = cap == c.text.size();
            EXPECT_EQ(w.ok(), fits);
            if (fits) {
                EXPECT_EQ(std::string_view(buf.data(), w.size()), c.text);
            } else {
                EXPECT_LE(w.size(), cap);
            }
            for (std::size_t i = cap; i < buf.size(); ++i) {
                ASSERT_EQ(buf[i], kSentinel) << "byte " << i << " written past the capacity";
            }
        }
    }
}

// Once any append fails, every later append is a no-op, whatever the reason
// for the failure and however much room is left.
TEST(JsonWriterTest, FailedWriterStaysFailed) {
    struct Failure {
        const char* name;
        std::size_t cap;
        std::function<void(JsonWriter&)> fail;
    };
    const Failure failures[] = {
        {"overflow", 8, [](JsonWriter& w) { w.raw("123456789"); }},
        {"nan", 64, [](JsonWriter& w) { w.real(std::nan("")); }},
        {"infinity", 64, [](JsonWriter& w) { w.real(-HUGE_VAL); }},
        {"bad_utf8", 64, [](JsonWriter& w) { w.string("\xC0\x80", 2); }},
        // The length cuts the sequence even though the next byte would complete it.
        {"cut_by_length", 64, [](JsonWriter& w) { w.string("\xC3\xA9", 1); }},
        {"null_text", 64, [](JsonWriter& w) { w.string(nullptr, 1); }},
    };
    for (const auto& f : failures) {
        SCOPED_TRACE(f.name);
        char buf[64];
        std::memset(buf, kSentinel, sizeof buf);
        JsonWriter w(buf, f.cap);
        w.raw("[");
        f.fail(w);
        ASSERT_FALSE(w.ok());
        const std::size_t size_after_failure = w.size();
        for (const auto& c : append_cases()) {
            c.append(w);
            EXPECT_FALSE(w.ok()) << c.name;
            EXPECT_EQ(w.size(), size_after_failure) << c.name;
        }
        // Only the opening bracket may have been written.
        for (std::size_t i = 1; i < sizeof buf; ++i) ASSERT_EQ(buf[i], kSentinel) << i;
    }
}

TEST(RenderResultJsonTest, FailsOnNonFiniteRealsAndInvalidTexts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* name;
        std::function<void(TestResult&)> change;
    };
    std::vector<Case> cases;
    for (double bad : {nan, inf, -inf}) {
        cases.push_back({"ping", [bad](TestResult& r) { r.ping_ms = bad; }});
        cases.push_back({"download", [bad](TestResult& r) { r.download_mbps = bad; }});
        cases.push_back({"upload", [bad](TestResult& r) { r.upload_mbps = bad; }});
        cases.push_back({"jitter", [bad](TestResult& r) { r.jitter_ms = bad; }});
    }
    cases.push_back(
        {"server_surrogate", [](TestResult& r) { std::strcpy(r.server, "\xED\xB0\x80"); }});
    cases.push_back(
        {"server_cut_sequence", [](TestResult& r) { std::strcpy(r.server, "x\xE2\x82"); }});
    cases.push_back({"phase_invalid", [](TestResult& r) { std::strcpy(r.phase, "ping\xFF"); }});
    // A server text filling its whole buffer without a NUL and ending in a lead
    // byte is a cut sequence; a measure that stops one byte early would miss it.
    cases.push_back({"server_unterminated_cut", [](TestResult& r) {
                         std::memset(r.server, 'a', sizeof r.server);
                         r.server[sizeof r.server - 1] = '\xC3';
                     }});

    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestResult r = base_record();
        c.change(r);
        char out[4096];
        std::size_t len = 0;
        EXPECT_FALSE(render_result_json(r, out, sizeof out, &len));
    }
}

TEST(RenderResultJsonTest, TextsAreMeasuredUpToNulWithinTheirBuffers) {
    struct Case {
        const char* name;
        std::function<void(TestResult&)> change;
        std::string server;
    };
    const Case cases[] = {
        // Bytes after the NUL are not part of the text, even if invalid.
        {"bytes_after_nul_ignored",
         [](TestResult& r) { std::memcpy(r.server, "lan\0\xFF\xFF", 6); }, "lan"},
        {"unterminated_full_buffer",
         [](TestResult& r) { std::memset(r.server, 'a', sizeof r.server); },
         std::string(kServerTextSize, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestResult r = base_record();
        c.change(r);
        char out[4096];
        std::size_t len = 0;
        ASSERT_TRUE(render_result_json(r, out, sizeof out, &len));
        const std::string expected =
            "{\"ping_ms\":1.5,\"download_mbps\":940.25,"
            "\"upload_mbps\":930.0,\"duration_ms\":2000,"
            "\"jitter_ms\":0.25,\"server\":\"" +
            c.server + "\",\"phase\":\"complete\"}";
        EXPECT_EQ(std::string_view(out, len), expected);
    }
}

// A server of 255 control bytes escapes to six bytes each, so the record no
// longer fits the 1024-byte snapshot but must still render into a larger buffer,
// and must fail cleanly (nothing written past cap) when the buffer is too small.
TEST(RenderResultJsonTest, LongEscapedServerNeedsMoreThan1023Bytes) {
    TestResult r = base_record();
    std::memset(r.server, 0x01, kServerTextSize - 1);
    r.server[kServerTextSize - 1] = '\0';

    char out[kRenderScratchSize];
    std::size_t len = 0;
    ASSERT_TRUE(render_result_json(r, out, sizeof out, &len));
    TestResult plain = base_record();
    std::size_t plain_len = 0;
    char plain_out[256];
    ASSERT_TRUE(render_result_json(plain, plain_out, sizeof plain_out, &plain_len));
    EXPECT_EQ(len, plain_len - 3 + 255 * 6);
    EXPECT_GT(len, kJsonBufSize - 1);

    const std::size_t full_len = len;
    for (std::size_t cap : {kJsonBufSize, full_len - 1}) {
        SCOPED_TRACE(cap);
        std::vector<char> small(full_len + 16, kSentinel);
        EXPECT_FALSE(render_result_json(r, small.data(), cap, &len));
        for (std::size_t i = cap; i < small.size(); ++i) ASSERT_EQ(small[i], kSentinel) << i;
    }
}

// The library renders into a scratch buffer first; the longest record the
// struct can hold (longest reals, most negative duration, both texts full of
// six-byte escapes) must still fit.
TEST(RenderResultJsonTest, WorstCaseRecordFitsTheScratchBuffer) {
    TestResult r{};
    r.ping_ms = -1.2345678901234567e-6;  // Plain form with five leading zeros.
    r.download_mbps = -1.7976931348623157e308;
    r.upload_mbps = -12345678901234567e4;  // Plain form with twenty-one digits.
    r.duration_ms = std::numeric_limits<std::int32_t>::min();
    r.jitter_ms = -2.2250738585072014e-308;
    std::memset(r.server, 0x1F, kServerTextSize - 1);
    std::memset(r.phase, 0x1F, kPhaseTextSize - 1);

    char out[2048];
    std::size_t len = 0;
    ASSERT_TRUE(render_result_json(r, out, sizeof out, &len));
    EXPECT_GT(len, (kServerTextSize - 1 + kPhaseTextSize - 1) * 6);
    EXPECT_LE(len, sizeof out);
}

}  // namespace
}  // namespace linkrate
