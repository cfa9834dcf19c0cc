#include "internet/throughput.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/callbacks.h"
#include "internet/curl_handles.h"
#include "internet/requests.h"
#include "internet/upload_sockets.h"
#include "platform/platform.h"

namespace linkrate {
namespace {

constexpr int kPollTimeoutMs = 50;
constexpr double kShortestRateSeconds = 0.01;
constexpr double kFinalElapsedFloor = 0.001;
constexpr int kMaxTransfers = 4;
// A transfer that ended without moving a body byte (a server that drops every
// connection, say) starts again no sooner than this after it ended, so such a
// server sees at most about 20 new connections a second per transfer.
constexpr double kEmptyTransferRestSeconds = 0.05;

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
    // The position of a transfer handle in creation order.
    int index_of(CURL* easy) const {
        int k = 0;
        while (k < kMaxTransfers - 1 && transfers_[k].get() != easy) ++k;
        return k;
    }

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

// The reply status of the transfer on `easy`: 0 until its status line arrived.
long reply_status(CURL* easy) {
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    return status;
}

// Whether a status says the server did what was asked. An error reply (or a
// redirect, which is not followed) is no throughput, however long its body.
bool status_ok(long status) { return status >= 200 && status <= 299; }

// Four GETs. Each counts the body bytes of its current reply; they count as
// downloaded once the reply's status is known to be 2xx.
struct DownloadTransfers {
    static constexpr int kCount = 4;
    static constexpr const char* kPhase = kPhaseDownload;
    static constexpr const char* kMultiFailed = msg::kDownloadMultiFailed;

    std::array<std::uint64_t, kCount> reply_bytes{};  // the current reply's body bytes
    std::array<CURL*, kCount> easies{};
    std::array<bool, kCount> active{};  // a request is under way
    std::uint64_t ended_ok_bytes = 0;   // body bytes of ended 2xx replies
    bool counted = false;
    std::uint64_t final_bytes = 0;
    char url[kRequestUrlSize];

    explicit DownloadTransfers(const char* base) { format_download_url(url, base); }
    void prepare(int) {}
    void set_options(CURL* easy, int k) {
        easies[k] = easy;
        active[k] = true;
        set_download_options(easy, url, &reply_bytes[k]);
    }
    // Counts the reply that just ended, if it was a 2xx one; true when it
    // moved body bytes of such a reply.
    bool moved_body(CURL* easy, int k) {
        active[k] = false;
        const bool moved = status_ok(reply_status(easy)) && reply_bytes[k] > 0;
        if (moved) ended_ok_bytes += reply_bytes[k];
        reply_bytes[k] = 0;
        return moved;
    }
    // A new GET of the same URL needs nothing set again.
    void rearm(CURL*, int k) {
        reply_bytes[k] = 0;
        active[k] = true;
    }
    std::uint64_t bytes() const {
        if (counted) return final_bytes;
        std::uint64_t total = ended_ok_bytes;
        for (int k = 0; k < kCount; ++k) {
            if (active[k] && status_ok(reply_status(easies[k]))) total += reply_bytes[k];
        }
        return total;
    }
    // Takes the count while the handles still exist: the clean-up releases them.
    void stop_counting() {
        final_bytes = bytes();
        counted = true;
    }
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
// connections have not had acknowledged. A POST counts while its reply has
// not come (on a slow link most bodies outlast the phase) and when the reply
// is 2xx; one the server answered with an error counts nothing of its body.
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
    std::uint64_t refused = 0;        // handed over in POSTs answered with an error
    bool counted = false;
    std::uint64_t final_bytes = 0;

    explicit UploadTransfers(const char* base) { format_upload_url(url, base); }
    void prepare(int k) { reset_upload_stream(streams[k]); }
    void set_options(CURL* easy, int k) {
        easies[k] = easy;
        set_upload_options(easy, url, &streams[k], headers.get(), &sockets);
    }
    // Whether the transfer that just ended moved its body: libcurl took body
    // bytes and the server answered 2xx. The body goes out without waiting
    // for the server, so a server that drops every connection still sees the
    // first bytes handed over before its reset arrives.
    bool moved_body(CURL* easy, int k) const {
        return streams[k].body_offset > 0 && status_ok(reply_status(easy));
    }
    // A fresh body for the next POST. What libcurl still held of the last one
    // never reached its connection; all of it, if the server refused it.
    void rearm(CURL* easy, int k) {
        if (answered_with_error(easy)) {
            refused += streams[k].body_offset;
        } else {
            never_written += held_by_libcurl(easy, streams[k]);
        }
        streams[k].body_offset = 0;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(streams[k].body_size));
    }
    std::uint64_t bytes() const {
        if (counted) return final_bytes;
        std::uint64_t not_arrived = never_written + refused + sockets.undelivered();
        for (int k = 0; k < kCount; ++k) {
            if (easies[k] == nullptr) continue;
            not_arrived += answered_with_error(easies[k]) ? streams[k].body_offset
                                                          : held_by_libcurl(easies[k], streams[k]);
        }
        const std::uint64_t handed = streams[0].total_sent + streams[1].total_sent;
        return handed > not_arrived ? handed - not_arrived : 0;
    }
    // A final reply that is not 2xx; 1xx replies are interim, not an answer.
    static bool answered_with_error(CURL* easy) {
        const long status = reply_status(easy);
        return status >= 200 && !status_ok(status);
    }
    // Takes the count while the connections are still open: the clean-up
    // closes them.
    void stop_counting() {
        final_bytes = bytes();
        counted = true;
        sockets.stop_counting();
    }
};

// Restarts the transfers as they end: at once after one that moved body
// bytes, after a rest of its own after one that moved none.
template <class Transfers>
class Restarts {
public:
    Restarts(Transfers& transfers, const PhaseHandles& handles)
        : transfers_(transfers), handles_(handles) {}

    // A transfer ended at `now`. A failed transfer is treated exactly like a
    // completed one.
    void ended(CURL* easy, double now) {
        curl_multi_remove_handle(handles_.multi(), easy);
        const int k = handles_.index_of(easy);
        if (transfers_.moved_body(easy, k)) {
            start_again(k);
        } else {
            resume_at_[k] = now + kEmptyTransferRestSeconds;
        }
    }

    // Starts again every transfer whose rest is over by `now`.
    void resume_due(double now) {
        for (int k = 0; k < kMaxTransfers; ++k) {
            if (resume_at_[k] > 0.0 && now >= resume_at_[k]) start_again(k);
        }
    }

    // The poll's time-out: the usual one, shortened to the end of the
    // earliest rest (rounded up to whole ms, so the rest is over by then).
    int poll_timeout_ms(double now, int usual_ms) const {
        int timeout_ms = usual_ms;
        for (double due : resume_at_) {
            if (due <= 0.0) continue;
            const double left_ms = (due - now) * 1000.0;
            const int rounded = left_ms <= 0.0 ? 0 : static_cast<int>(left_ms) + 1;
            if (rounded < timeout_ms) timeout_ms = rounded;
        }
        return timeout_ms;
    }

private:
    void start_again(int k) {
        resume_at_[k] = 0.0;
        CURL* easy = handles_.transfer(k);
        transfers_.rearm(easy, k);
        curl_multi_add_handle(handles_.multi(), easy);
    }

    Transfers& transfers_;
    const PhaseHandles& handles_;
    std::array<double, kMaxTransfers> resume_at_{};  // 0: not resting
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

    Restarts<Transfers> restarts(transfers, handles);
    const double start = platform::now_seconds();
    double last_tick = start;
    while (!cancel_requested()) {
        int running = 0;
        curl_multi_perform(handles.multi(), &running);
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(handles.multi(), &queued)) {
            if (message->msg == CURLMSG_DONE)
                restarts.ended(message->easy_handle, platform::now_seconds());
        }

        const double now = platform::now_seconds();
        restarts.resume_due(now);
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
        curl_multi_poll(handles.multi(), nullptr, 0, restarts.poll_timeout_ms(now, kPollTimeoutMs),
                        nullptr);
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

// Returns the phase's elapsed time in seconds, or a negative value on failure.
double run_download_phase(const char* base) {
    DownloadTransfers transfers(base);
    double elapsed = 0.0;
    if (!measure(transfers, &elapsed)) return -1.0;
    const double rate = rate_mbps(transfers.bytes(), elapsed);
    update_result([&](TestResult& r) {
        r.download_mbps = rate;
        write_phase(r, kPhaseUpload);
    });
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
    update_result([&](TestResult& r) {
        r.duration_ms = static_cast<std::int32_t>((download_seconds + elapsed) * 1000.0);
        write_phase(r, kPhaseComplete);
        r.upload_mbps = rate;
    });
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
