// The three HTTP requests of the internet test and the options of each kind
// of transfer handle. No control flow: when requests happen is the run's.
#pragma once

#include <curl/curl.h>

#include <cstddef>
#include <cstdint>

#include "internet/callbacks.h"
#include "internet/curl_handles.h"
#include "internet/upload_sockets.h"

namespace linkrate {

// The cleaned base URL: at most 255 bytes, no trailing '/', possibly empty.
inline constexpr std::size_t kBaseUrlSize = 256;
// Every request URL; the longest (latency, 277 bytes) fits with a 255-byte base.
inline constexpr std::size_t kRequestUrlSize = 384;

inline constexpr long kLatencyTimeoutMs = 3000;

// Copies `base_url` (NUL-terminated) into `base` cut to 255 bytes, then drops
// every trailing '/': a base of slashes only becomes empty. A cut never splits
// a UTF-8 sequence: it moves back to the sequence's lead byte, so a UTF-8 base
// stays UTF-8 (and renders); a text that is not UTF-8 there is cut at 255.
void clean_base_url(const char* base_url, char (&base)[kBaseUrlSize]);

// The monotonic clock `seconds` in whole milliseconds, wrapped to a signed
// 32-bit number (the clock passes 2^31 ms after about 24.8 days).
std::int32_t clock_ms_wrapped(double seconds);

// "<base>/empty?t=<attempt>_<clock ms>".
void format_latency_url(char (&url)[kRequestUrlSize], const char* base, int attempt,
                        double clock_seconds);
// "<base>/garbage?ckSize=25".
void format_download_url(char (&url)[kRequestUrlSize], const char* base);
// "<base>/empty".
void format_upload_url(char (&url)[kRequestUrlSize], const char* base);

// The latency handle's options, set once; its URL is set before each request.
void set_latency_options(CURL* easy);
// A download handle's options: GET `url`, body bytes added to *download_bytes.
void set_download_options(CURL* easy, const char* url, std::uint64_t* download_bytes);
// The request headers of every upload: "Expect:" drops libcurl's
// "Expect: 100-continue", so that a body goes out at once instead of after an
// idle round trip (or a second's wait on a server that never answers it).
// Null when the list cannot be made; the uploads then go without it.
HeaderList upload_request_headers();
// An upload handle's options: POST `url` with a body of stream->body_size
// bytes read through curl_internet_up_cb from *stream, the request headers
// `headers` (may be null), and its sockets opened and closed through
// `sockets`, which must outlive the handle's multi handle.
void set_upload_options(CURL* easy, const char* url, UploadStream* stream, curl_slist* headers,
                        UploadSockets* sockets);
// Sets `stream` up for a new phase: offset 0, one 10 MiB body, nothing sent.
void reset_upload_stream(UploadStream& stream);

}  // namespace linkrate
