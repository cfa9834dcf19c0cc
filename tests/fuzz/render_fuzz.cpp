// The snapshot renderer on arbitrary records: any doubles and duration, any
// `server` bytes (up to 255), a constant or an arbitrary phase text.
//
// Input layout: four doubles (ping, download, upload, jitter; 32 bytes), the
// duration (4 bytes), a phase selector (1 byte), a capacity for the bounded
// rendering (2 bytes), then the phase bytes when the selector's top bit asks
// for arbitrary ones (selector & 31 of them), then the server bytes.
//
// Properties: the snapshot is left unchanged exactly when a real is not
// finite, a text is not valid UTF-8, or the text would reach 1024 bytes;
// otherwise it holds valid JSON whose seven members read back to the record's
// values bit for bit. A rendering into a buffer of any size never writes past it.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "frame/result.h"
#include "frame/state.h"
#include "fuzz_check.h"

using namespace linkrate;

namespace {

constexpr std::size_t kHeaderSize = 39;
constexpr char kUnchanged[] = "unchanged";
constexpr const char* kPhases[] = {kPhaseIdle, kPhasePing, kPhaseDownload, kPhaseUpload,
                                   kPhaseComplete};
constexpr const char* kKeys[] = {"ping_ms",   "download_mbps", "upload_mbps", "duration_ms",
                                 "jitter_ms", "server",        "phase"};

bool valid_utf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

// Bytes a JSON string literal adds for `text` beyond its two quotes, with the
// escapes the snapshot format uses.
std::size_t escaped_length(const std::string& text) {
    std::size_t n = 0;
    for (unsigned char c : text) {
        if (c == '"' || c == '\\' || c == '\b' || c == '\t' || c == '\n' || c == '\f' ||
            c == '\r') {
            n += 2;
        } else if (c < 0x20) {
            n += 6;
        } else {
            n += 1;
        }
    }
    return n;
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// Parses `text` and checks every member against the record.
void check_reads_back(std::string_view text, const TestResult& r, const std::string& server,
                      const std::string& phase) {
    nlohmann::ordered_json doc;
    try {
        doc = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::json::exception&) {
        FUZZ_CHECK(!"the rendering is valid JSON");
    }
    FUZZ_CHECK(doc.is_object() && doc.size() == 7);
    std::size_t i = 0;
    for (const auto& item : doc.items()) FUZZ_CHECK(item.key() == kKeys[i++]);
    const double reals[] = {r.ping_ms, r.download_mbps, r.upload_mbps, r.jitter_ms};
    const char* real_keys[] = {"ping_ms", "download_mbps", "upload_mbps", "jitter_ms"};
    for (std::size_t k = 0; k < 4; ++k) {
        const auto& value = doc[real_keys[k]];
        FUZZ_CHECK(value.is_number_float());
        FUZZ_CHECK(same_bits(value.get<double>(), reals[k]));
    }
    FUZZ_CHECK(doc["duration_ms"].is_number_integer());
    FUZZ_CHECK(doc["duration_ms"].get<std::int64_t>() == r.duration_ms);
    FUZZ_CHECK(doc["server"].is_string() && doc["server"].get<std::string>() == server);
    FUZZ_CHECK(doc["phase"].is_string() && doc["phase"].get<std::string>() == phase);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderSize) return -1;  // not worth keeping in the corpus

    TestResult r{};
    std::memcpy(&r.ping_ms, data, 8);
    std::memcpy(&r.download_mbps, data + 8, 8);
    std::memcpy(&r.upload_mbps, data + 16, 8);
    std::memcpy(&r.jitter_ms, data + 24, 8);
    std::memcpy(&r.duration_ms, data + 32, 4);
    const std::uint8_t selector = data[36];
    const std::size_t cap = (data[37] | (data[38] << 8)) % 2048u;
    data += kHeaderSize;
    size -= kHeaderSize;

    if (selector & 0x80) {
        const std::size_t n = std::min<std::size_t>(selector & 31u, size);
        std::memcpy(r.phase, data, n);
        data += n;
        size -= n;
    } else {
        std::strcpy(r.phase, kPhases[selector % 5]);
    }
    std::memcpy(r.server, data, std::min<std::size_t>(size, kServerTextSize - 1));

    // The texts as a writer leaves them: up to their first NUL.
    const std::string server(r.server);
    const std::string phase(r.phase);

    // The snapshot through update_result, as every writer renders it.
    std::string snapshot;
    update_result([&](TestResult& record) {
        std::memcpy(g_json_buf, kUnchanged, sizeof kUnchanged);
        record = r;
    });
    FUZZ_CHECK(std::memchr(g_json_buf, '\0', kJsonBufSize) != nullptr);
    snapshot = g_json_buf;

    // The same record with empty texts renders whenever its reals are finite;
    // its length plus the texts' escaped lengths is the full rendering's.
    const bool finite = std::isfinite(r.ping_ms) && std::isfinite(r.download_mbps) &&
                        std::isfinite(r.upload_mbps) && std::isfinite(r.jitter_ms);
    const bool texts_valid = valid_utf8(server) && valid_utf8(phase);
    std::size_t expected_length = 0;
    if (finite) {
        TestResult bare = r;
        bare.server[0] = '\0';
        bare.phase[0] = '\0';
        char bare_text[kJsonBufSize];
        std::size_t bare_length = 0;
        FUZZ_CHECK(render_result_json(bare, bare_text, sizeof bare_text, &bare_length));
        check_reads_back({bare_text, bare_length}, bare, "", "");
        expected_length = bare_length + escaped_length(server) + escaped_length(phase);
    }
    const bool should_render = finite && texts_valid && expected_length < kJsonBufSize;

    if (should_render) {
        FUZZ_CHECK(snapshot != kUnchanged);
        FUZZ_CHECK(snapshot.size() == expected_length);
        check_reads_back(snapshot, r, server, phase);
    } else {
        FUZZ_CHECK(snapshot == kUnchanged);
    }

    // Into a buffer of exactly `cap` bytes: the sanitizer catches any write
    // past it; a rendering that fits is the full one.
    auto bounded = std::make_unique<char[]>(cap == 0 ? 1 : cap);
    std::size_t bounded_length = 0;
    const bool fits = render_result_json(r, bounded.get(), cap, &bounded_length);
    const bool renders = finite && texts_valid;
    FUZZ_CHECK(fits == (renders && expected_length <= cap));
    if (fits) {
        FUZZ_CHECK(bounded_length == expected_length);
        check_reads_back({bounded.get(), bounded_length}, r, server, phase);
    }
    return 0;
}
