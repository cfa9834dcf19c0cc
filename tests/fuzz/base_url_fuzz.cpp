// Base-URL cleaning and the three request URLs, on arbitrary bytes.
//
// Input layout: the attempt index (1 byte, taken modulo 10), the clock in
// seconds (a double, 8 bytes), then the base URL's bytes; the base ends at
// its first NUL, as a C text does.
//
// Properties: the cleaned base is the input cut to 255 bytes, or to fewer
// where that cut would split a UTF-8 sequence (the cut then comes before its
// lead byte), with every trailing '/' dropped; each request URL is that base followed by its path,
// never cut; the clock part is a decimal integer, the clock in whole
// milliseconds wrapped to 32 bits. Built from an uncleaned base of any
// length, a URL is cut to its 384-byte buffer and never written past it.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "internet/requests.h"

using namespace linkrate;

namespace {

constexpr std::size_t kHeaderSize = 9;

// Buffers of exactly the size the functions take, on the heap, so that the
// sanitizer reports the first byte written past them.
template <std::size_t N>
struct ExactBuffer {
    std::unique_ptr<char[]> bytes = std::make_unique<char[]>(N);
    char (&get())[N] { return *reinterpret_cast<char(*)[N]>(bytes.get()); }
};

// Bytes of the UTF-8 sequence that `lead` begins; 0 for any other byte.
std::size_t sequence_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if (lead >= 0xE0 && lead <= 0xEF) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

std::string expected_clean(const std::string& input) {
    constexpr std::size_t kLimit = kBaseUrlSize - 1;
    std::size_t cut = std::min(input.size(), kLimit);
    // A lead byte among the last three kept, followed only by continuation
    // bytes up to the limit, whose sequence reaches past the limit.
    for (std::size_t lead = kLimit - 3; input.size() > kLimit && lead < kLimit; ++lead) {
        const std::size_t length = sequence_length(static_cast<unsigned char>(input[lead]));
        bool continued = true;
        for (std::size_t k = lead + 1; k < kLimit; ++k)
            continued = continued && (static_cast<unsigned char>(input[k]) & 0xC0) == 0x80;
        if (length > kLimit - lead && continued) cut = lead;
    }
    std::string base = input.substr(0, cut);
    while (!base.empty() && base.back() == '/') base.pop_back();
    return base;
}

// The URL's clock part: a decimal integer in the signed 32-bit range, equal
// to the clock in whole milliseconds modulo 2^32 wherever that is defined.
void check_clock_part(const std::string& text, double clock_seconds) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    FUZZ_CHECK(ec == std::errc() && ptr == end && !text.empty() && text[0] != '+');
    FUZZ_CHECK(value >= INT32_MIN && value <= INT32_MAX);
    const double ms = std::trunc(clock_seconds * 1000.0);
    if (std::isfinite(ms) && std::fabs(ms) < 9.0e18) {
        const auto wrapped = static_cast<std::uint32_t>(static_cast<std::int64_t>(ms));
        FUZZ_CHECK(value == static_cast<std::int32_t>(wrapped));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < kHeaderSize) return -1;  // not worth keeping in the corpus
    const int attempt = data[0] % 10;
    double clock_seconds = 0.0;
    std::memcpy(&clock_seconds, data + 1, sizeof clock_seconds);

    // The base as a host passes it: NUL-terminated exactly at its end.
    const std::size_t raw_size = size - kHeaderSize;
    auto raw = std::make_unique<char[]>(raw_size + 1);
    std::memcpy(raw.get(), data + kHeaderSize, raw_size);
    raw[raw_size] = '\0';
    const std::string input(raw.get());

    ExactBuffer<kBaseUrlSize> base;
    clean_base_url(raw.get(), base.get());
    const std::string cleaned(base.get());
    FUZZ_CHECK(cleaned == expected_clean(input));

    ExactBuffer<kRequestUrlSize> url;
    format_latency_url(url.get(), base.get(), attempt, clock_seconds);
    const std::string latency(url.get());
    const std::string latency_head = cleaned + "/empty?t=" + std::to_string(attempt) + "_";
    FUZZ_CHECK(latency.compare(0, latency_head.size(), latency_head) == 0);
    check_clock_part(latency.substr(latency_head.size()), clock_seconds);

    format_download_url(url.get(), base.get());
    FUZZ_CHECK(std::string(url.get()) == cleaned + "/garbage?ckSize=25");
    format_upload_url(url.get(), base.get());
    FUZZ_CHECK(std::string(url.get()) == cleaned + "/empty");

    // From the uncleaned input: the text is cut to the buffer, never past it.
    format_download_url(url.get(), raw.get());
    FUZZ_CHECK(std::string(url.get()) ==
               (input + "/garbage?ckSize=25").substr(0, kRequestUrlSize - 1));
    format_upload_url(url.get(), raw.get());
    FUZZ_CHECK(std::string(url.get()) == (input + "/empty").substr(0, kRequestUrlSize - 1));
    format_latency_url(url.get(), raw.get(), attempt, clock_seconds);
    FUZZ_CHECK(std::strlen(url.get()) < kRequestUrlSize);
    return 0;
}
