#include "internet/throughput.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/callbacks.h"
#include "internet/curl_handles.h"
#include "internet/endpoints.h"
#include "internet/upload_sockets.h"
#include "platform/platform.h"

namespace linkrate {
namespace {

constexpr int kPollTimeoutMs = 50;
constexpr double kShortestRateSeconds = 0.01;
constexpr double kFinalElapsedFloor = 0.001;
constexpr int kMaxTransfers = 4;

// A phase's multi handle and its transfers in creation order. A transfer
// handle that could not be created stays null and is never handed to libcurl.
// Released as libcurl wants it: each transfer removed and cleaned up, then
// the multi handle.
class PhaseHandles {
public:
    explicit PhaseHandles(MultiHandle multi) : multi_(std::move(multi)) {}
    ~PhaseHandles() { release(); }
    PhaseHandles(const PhaseHandles&) = delete;
    PhaseHandles& operator=(const PhaseHandles&) = delete;

    CURLM* multi() const { return multi_.get(); }
    CURL* transfer(int k) const { return transfers_[k].get(); }

    void add(int k, EasyHandle easy) {
        curl_multi_add_handle(multi_.get(), easy.get());
        transfers_[k] = std::move(easy);
    }

    void release() {
        for (EasyHandle& easy : transfers_) {
            if (!easy) continue;
            curl_multi_remove_handle(multi_.get(), easy.get());
            easy.reset();
        }
        multi_.reset();
    }

private:
    MultiHandle multi_;
    std::array<EasyHandle, kMaxTransfers> transfers_;
};

// Four GETs whose body bytes all go to one counter.
struct DownloadTransfers {
    static constexpr int kCount = 4;
    static constexpr const char* kPhase = kPhaseDownload;
    static constexpr const char* kMultiFailed = msg::kDownloadMultiFailed;

    std::uint64_t download_bytes = 0;
    char url[kRequestUrlSize];

    explicit DownloadTransfers(const char* base) { format_download_url(url, base); }
    void prepare(int) {}
    void set_options(CURL* easy, int) { set_download_options(easy, url, &download_bytes); }
    void restart(const PhaseHandles& handles, CURL* easy) {
        curl_multi_remove_handle(handles.multi(), easy);
        curl_multi_add_handle(handles.multi(), easy);
    }
    std::uint64_t bytes() const { return download_bytes; }
    void stop_counting() {}
};

// Body bytes that libcurl took from the read callback for the current POST on
// `easy` but has not written to its connection yet.
std::uint64_t held_by_libcurl(CURL* easy, const UploadStream& stream) {
    curl_off_t written = 0;
    curl_easy_getinfo(easy, CURLINFO_SIZE_UPLOAD_T, &written);
    const auto written_bytes = static_cast<std::uint64_t>(written < 0 ? 0 : written);
    return stream.body_offset > written_bytes ? stream.body_offset - written_bytes : 0;
}

// Two POSTs, each with its own body state. What they count is what arrived:
// the body bytes handed to libcurl, less those it still holds and those its
// connections have not had acknowledged.
struct UploadTransfers {
    static constexpr int kCount = 2;
    static constexpr const char* kPhase = kPhaseUpload;
    static constexpr const char* kMultiFailed = msg::kUploadMultiFailed;

    std::array<UploadStream, kCount> streams{};
    std::array<CURL*, kCount> easies{};
    char url[kRequestUrlSize];
    HeaderList headers = upload_request_headers();
    UploadSockets sockets;
    std::uint64_t never_written = 0;  // held by libcurl when its POST ended
    bool counted = false;
    std::uint64_t final_bytes = 0;

    explicit UploadTransfers(const char* base) { format_upload_url(url, base); }
    void prepare(int k) { reset_upload_stream(streams[k]); }
    void set_options(CURL* easy, int k) {
        easies[k] = easy;
        set_upload_options(easy, url, &streams[k], headers.get(), &sockets);
    }
    void restart(const PhaseHandles& handles, CURL* easy) {
        UploadStream& stream = easy == handles.transfer(0) ? streams[0] : streams[1];
        never_written += held_by_libcurl(easy, stream);
        curl_multi_remove_handle(handles.multi(), easy);
        stream.body_offset = 0;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(stream.body_size));
        curl_multi_add_handle(handles.multi(), easy);
    }
    std::uint64_t bytes() const {
        if (counted) return final_bytes;
        std::uint64_t not_arrived = never_written + sockets.undelivered();
        for (int k = 0; k < kCount; ++k) {
            if (easies[k] != nullptr) not_arrived += held_by_libcurl(easies[k], streams[k]);
        }
        const std::uint64_t handed = streams[0].total_sent + streams[1].total_sent;
        return handed > not_arrived ? handed - not_arrived : 0;
    }
    // Takes the count while the connections are still open: the clean-up
    // closes them.
    void stop_counting() {
        final_bytes = bytes();
        counted = true;
        sockets.stop_counting();
    }
};

// Keeps the transfers going on one multi handle for the phase's time,
// restarting each as it ends and ticking the running rate, then releases
// every handle. Returns false, with the last error set, when the multi handle
// cannot be created or a cancel ended the phase; otherwise stores the elapsed
// time, taken after the release, in *elapsed_out.
template <class Transfers>
bool measure(Transfers& transfers, double* elapsed_out) {
    MultiHandle multi = new_multi_handle();
    if (!multi) {
        set_last_error(Transfers::kMultiFailed);
        return false;
    }
    PhaseHandles handles(std::move(multi));
    for (int k = 0; k < Transfers::kCount; ++k) {
        transfers.prepare(k);
        EasyHandle easy = new_easy_handle();
        if (!easy) continue;
        transfers.set_options(easy.get(), k);
        handles.add(k, std::move(easy));
    }

    const double start = platform::now_seconds();
    double last_tick = start;
    while (!cancel_requested()) {
        int running = 0;
        curl_multi_perform(handles.multi(), &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(handles.multi(), &queued)) {
            // A failed transfer is restarted exactly like a completed one.
            if (message->msg == CURLMSG_DONE) transfers.restart(handles, message->easy_handle);
        }

        const double now = platform::now_seconds();
        const double elapsed = now - start;
        if (now - last_tick >= kTickSpacingSeconds) {
            last_tick = now;
            if (TickCallback tick = g_tick_cb.load()) {
                const double rate =
                    elapsed > kShortestRateSeconds ? rate_mbps(transfers.bytes(), elapsed) : 0.0;
                tick(Transfers::kPhase, rate, phase_percent(elapsed));
            }
        }
        if (elapsed >= kThroughputPhaseSeconds) break;
        curl_multi_poll(handles.multi(), nullptr, 0, kPollTimeoutMs, nullptr);
    }
    transfers.stop_counting();
    handles.release();

    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return false;
    }
    double elapsed = platform::now_seconds() - start;
    if (elapsed < kFinalElapsedFloor) elapsed = kFinalElapsedFloor;
    *elapsed_out = elapsed;
    return true;
}

void write_phase_locked(const char* phase) {
    std::snprintf(g_last_result.phase, sizeof g_last_result.phase, "%s", phase);
}

// Returns the phase's elapsed time in seconds, or a negative value on failure.
double run_download_phase(const char* base) {
    DownloadTransfers transfers(base);
    double elapsed = 0.0;
    if (!measure(transfers, &elapsed)) return -1.0;
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_last_result.download_mbps = rate_mbps(transfers.bytes(), elapsed);
        write_phase_locked(kPhaseUpload);
        update_json_locked();
    }
    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1.0;
    }
    return elapsed;
}

int run_upload_phase(const char* base, double download_seconds) {
    UploadTransfers transfers(base);
    double elapsed = 0.0;
    if (!measure(transfers, &elapsed)) return -1;
    const double rate = rate_mbps(transfers.bytes(), elapsed);
    {
        std::lock_guard<std::mutex> hold(g_mutex);
        g_last_result.duration_ms =
            static_cast<std::int32_t>((download_seconds + elapsed) * 1000.0);
        write_phase_locked(kPhaseComplete);
        g_last_result.upload_mbps = rate;
        update_json_locked();
    }
    // No cancel test follows: a cancel arriving now does not undo the result.
    report_tick(kPhaseComplete, rate, 100);
    return 0;
}

}  // namespace

double rate_mbps(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) * 8.0 / (1000000.0 * seconds);
}

int phase_percent(double elapsed) {
    const double percent = elapsed / kThroughputPhaseSeconds * 100.0;
    return percent > 100.0 ? 100 : static_cast<int>(percent);
}

int run_throughput_phases(const char* base) {
    const double download_seconds = run_download_phase(base);
    if (download_seconds < 0.0) return -1;
    return run_upload_phase(base, download_seconds);
}

}  // namespace linkrate
