#include "internet/requests.h"

#include <cmath>
#include <cstdio>
#include <cstring>

namespace linkrate {

namespace {

// The length of the UTF-8 sequence that `lead` begins, or 0 when it cannot
// begin one (ASCII, a continuation byte, or a byte UTF-8 never uses).
std::size_t utf8_sequence_length(unsigned char lead) {
    if (lead >= 0xC2 && lead <= 0xDF) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if (lead >= 0xF0 && lead <= 0xF4) return 4;
    return 0;
}

bool is_continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Where to cut `text`, which is longer than `limit` bytes: at `limit`, or
// before the UTF-8 sequence that the cut would split, judged by its lead byte.
// A text that is not UTF-8 there is cut at `limit`.
std::size_t utf8_cut(const unsigned char* text, std::size_t limit) {
    std::size_t start = limit - 1;  // the last byte kept, then its sequence's lead
    for (int back = 0; back < 3 && start > 0 && is_continuation(text[start]); ++back) --start;
    return utf8_sequence_length(text[start]) > limit - start ? start : limit;
}

}  // namespace

void clean_base_url(const char* base_url, char (&base)[kBaseUrlSize]) {
    const auto* text = reinterpret_cast<const unsigned char*>(base_url);
    std::size_t length = strnlen(base_url, sizeof base);
    if (length == sizeof base) length = utf8_cut(text, sizeof base - 1);
    std::memcpy(base, base_url, length);
    base[length] = '\0';
    while (length > 0 && base[length - 1] == '/') base[--length] = '\0';
}

std::int32_t clock_ms_wrapped(double seconds) {
    // Truncation and the wrap modulo 2^32 are both exact in floating point, so
    // no clock value, however far out of any integer's range, makes the
    // conversion undefined. A clock that is not a finite number reads as 0.
    constexpr double kWrap = 4294967296.0;
    const double ms = std::trunc(seconds * 1000.0);
    if (!std::isfinite(ms)) return 0;
    double wrapped = std::fmod(ms, kWrap);
    if (wrapped < 0.0) wrapped += kWrap;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(wrapped));
}

void format_latency_url(char (&url)[kRequestUrlSize], const char* base, int attempt,
                        double clock_seconds) {
    std::snprintf(url, sizeof url, "%s/empty?t=%d_%ld", base, attempt,
                  static_cast<long>(clock_ms_wrapped(clock_seconds)));
}

void format_download_url(char (&url)[kRequestUrlSize], const char* base) {
    std::snprintf(url, sizeof url, "%s/garbage?ckSize=25", base);
}

void format_upload_url(char (&url)[kRequestUrlSize], const char* base) {
    std::snprintf(url, sizeof url, "%s/empty", base);
}

// Option results are not looked at: a refused option leaves libcurl's
// default, and the transfer outcome tells the rest. Redirects and failing on
// HTTP error statuses stay off, as libcurl has them by default.
//
// Every kind sets CURLOPT_QUICK_EXIT: a transfer that ends (by its time-out,
// or removed at a phase's end) while its name lookup is still under way then
// leaves the lookup's thread behind instead of waiting for it, which a name
// server that never answers would make last until the system's resolver gives
// up (10 s and more). That thread ends by itself when its lookup returns.

namespace {

// What every kind of transfer handle sets.
void set_shared_options(CURL* easy) {
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);
}

}  // namespace

void set_latency_options(CURL* easy) {
    set_shared_options(easy);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_discard_cb);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, kLatencyTimeoutMs);
}

void set_download_options(CURL* easy, const char* url, std::uint64_t* download_bytes) {
    set_shared_options(easy);
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_internet_down_cb);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, download_bytes);
}

HeaderList upload_request_headers() { return HeaderList(curl_slist_append(nullptr, "Expect:")); }

void set_upload_options(CURL* easy, const char* url, UploadStream* stream, curl_slist* headers,
                        UploadSockets* sockets) {
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_POST, 1L);
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(stream->body_size));
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, curl_internet_up_cb);
    curl_easy_setopt(easy, CURLOPT_READDATA, stream);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, curl_discard_cb);
    set_shared_options(easy);
    if (headers != nullptr) curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    sockets->attach(easy);
}

void reset_upload_stream(UploadStream& stream) {
    stream.body_offset = 0;
    stream.body_size = kUploadBodySize;
    stream.total_sent = 0;
}

}  // namespace linkrate
