// The LAN download and upload: one connection, one command byte, then blocks
// in one direction for the requested time while the bytes are counted: those
// received, or those sent that the peer has acknowledged.
#include <algorithm>
#include <cstring>

#include "frame/messages.h"
#include "frame/state.h"
#include "lan/client.h"
#include "lan/connect.h"
#include "lan/protocol.h"
#include "platform/platform.h"
#include "platform/socket.h"

namespace linkrate {
namespace {

constexpr int kDefaultDurationMs = 2000;
constexpr int kTransferConnectTimeoutMs = 3000;
// The shortest elapsed time a rate is computed over.
constexpr double kMinElapsedSeconds = 0.0001;

enum class Direction { download, upload };

double run_transfer(Direction direction, const char* host, std::int32_t port,
                    std::int32_t duration_ms) {
    const bool upload = direction == Direction::upload;
    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1.0;
    }
    if (duration_ms <= 0) duration_ms = kDefaultDurationMs;

    platform::Socket socket = connect_to_host(host, port, kTransferConnectTimeoutMs);
    if (!socket) {
        set_last_error(msg::kConnectFailed);
        return -1.0;
    }
    // On the failures before the loop, dropping `socket` closes it without a
    // shutdown.
    const unsigned char command = upload ? kCommandUpload : kCommandDownload;
    if (platform::socket_send(socket.get(), &command, 1) != 1) {
        set_last_error(upload ? msg::kSendUploadFailed : msg::kSendDownloadFailed);
        return -1.0;
    }
    platform::HeapBlock block = platform::heap_block(kBlockSize);
    if (!block) {
        set_last_error(msg::kOutOfMemory);
        return -1.0;
    }
    if (upload) std::memset(block.get(), kUploadFill, kBlockSize);

    const double limit_seconds = duration_ms / 1000.0;
    std::uint64_t total_bytes = 0;
    const double start = platform::now_seconds();
    for (;;) {
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            break;
        }
        long moved = upload ? platform::socket_send(socket.get(), block.get(), kBlockSize)
                            : platform::socket_recv(socket.get(), block.get(), kBlockSize);
        if (moved <= 0) break;  // closed, stalled past the time-out, or failed
        total_bytes += static_cast<std::uint64_t>(moved);
        if (platform::now_seconds() - start >= limit_seconds) break;
    }
    const double end = platform::now_seconds();
    if (upload) {
        // Only what the peer has acknowledged by the end time has arrived;
        // what the connection still holds (unsent, or in flight) is left out.
        total_bytes -= std::min(total_bytes, platform::socket_unacknowledged_bytes(socket.get()));
    }
    block.reset();
    socket.shutdown_and_close();

    const double mbps =
        static_cast<double>(total_bytes) * 8.0 / (1e6 * std::max(end - start, kMinElapsedSeconds));
    record_lan_result(host, port, upload ? kPhaseUpload : kPhaseDownload, [&](TestResult& r) {
        r.duration_ms = duration_ms;
        (upload ? r.upload_mbps : r.download_mbps) = mbps;
    });
    return mbps;
}

}  // namespace

double measure_download(const char* host, std::int32_t port, std::int32_t duration_ms) {
    return run_transfer(Direction::download, host, port, duration_ms);
}

double measure_upload(const char* host, std::int32_t port, std::int32_t duration_ms) {
    return run_transfer(Direction::upload, host, port, duration_ms);
}

}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API double linkrate_download(const char* host, int32_t port,
                                                 int32_t duration_ms) noexcept {
    return run_lan_test(measure_download, host, port, duration_ms);
}

extern "C" LINKRATE_API double linkrate_upload(const char* host, int32_t port,
                                               int32_t duration_ms) noexcept {
    return run_lan_test(measure_upload, host, port, duration_ms);
}
