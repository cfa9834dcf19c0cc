#include "internet/callbacks.h"

#include <curl/curl.h>

#include <cstring>
#include <mutex>

#include "frame/state.h"

namespace linkrate {

unsigned char g_upload_dummy_buf[kUploadChunkSize];

void fill_upload_buffer() {
    static std::once_flag filled;
    std::call_once(filled,
                   [] { std::memset(g_upload_dummy_buf, kUploadByte, sizeof g_upload_dummy_buf); });
}

std::size_t curl_discard_cb(char*, std::size_t size, std::size_t count, void*) {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(size) * count);
}

std::size_t curl_internet_down_cb(char*, std::size_t size, std::size_t count, void* userdata) {
    const std::uint64_t offered = static_cast<std::uint64_t>(size) * count;
    *static_cast<std::uint64_t*>(userdata) += offered;
    return static_cast<std::size_t>(offered);
}

std::size_t curl_internet_up_cb(char* buffer, std::size_t size, std::size_t count, void* userdata) {
    auto* stream = static_cast<UploadStream*>(userdata);
    if (cancel_requested()) return CURL_READFUNC_ABORT;
    if (stream->body_offset >= stream->body_size) return 0;
    std::uint64_t n = static_cast<std::uint64_t>(size) * count;
    if (n > kUploadChunkSize) n = kUploadChunkSize;
    if (n > stream->body_size - stream->body_offset) n = stream->body_size - stream->body_offset;
    std::memcpy(buffer, g_upload_dummy_buf, static_cast<std::size_t>(n));
    stream->body_offset += n;
    stream->total_sent += n;
    return static_cast<std::size_t>(n);
}

}  // namespace linkrate
