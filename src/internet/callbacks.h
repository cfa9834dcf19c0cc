// What libcurl calls back into during the internet test: the two write
// callbacks, the upload read callback, the upload payload and the per-transfer
// upload state. All of them run on the thread of the run.
#pragma once

#include <cstddef>
#include <cstdint>

namespace linkrate {

inline constexpr std::size_t kUploadChunkSize = 65536;
inline constexpr std::uint64_t kUploadBodySize = 10485760;  // 10 MiB per POST
inline constexpr unsigned char kUploadByte = 0x5A;          // 'Z'

// The only source of upload body bytes; filled with kUploadByte once, by the
// first run, before any transfer exists, and read-only afterwards (runs on
// other threads may be reading it).
extern unsigned char g_upload_dummy_buf[kUploadChunkSize];

// The state of one upload transfer; its address is the handle's read data.
struct UploadStream {
    std::uint64_t body_offset;  // bytes of the current body handed over; <= body_size
    std::uint64_t body_size;    // length of one body
    std::uint64_t total_sent;   // bytes handed over since the phase began, all bodies
};

// Fills g_upload_dummy_buf with kUploadByte the first time; later calls, from
// any thread, return once it is filled.
void fill_upload_buffer();

// Write callback that takes and drops every byte; ignores `userdata`.
std::size_t curl_discard_cb(char* data, std::size_t size, std::size_t count, void* userdata);

// Write callback of the download transfers: adds every offered byte to the
// std::uint64_t that `userdata` points to. Never refuses data.
std::size_t curl_internet_down_cb(char* data, std::size_t size, std::size_t count, void* userdata);

// Read callback of the upload transfers; `userdata` is the UploadStream.
// Aborts the transfer while a cancel is pending (tested first, so even a
// finished body aborts), ends the body after body_size bytes, and otherwise
// hands over at most kUploadChunkSize bytes of g_upload_dummy_buf per call.
std::size_t curl_internet_up_cb(char* buffer, std::size_t size, std::size_t count, void* userdata);

}  // namespace linkrate
