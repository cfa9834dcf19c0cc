#include "internet/latency.h"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/curl_handles.h"
#include "internet/endpoints.h"
#include "platform/platform.h"

namespace linkrate {
namespace {

constexpr int kPauseBetweenAttemptsMs = 20;

}  // namespace

LatencySummary summarize_latency(const double* samples, int count) {
    double sum = 0.0;
    for (int k = 0; k < count; ++k) sum += samples[k];
    double jitter = 0.0;
    if (count > 1) {
        double differences = 0.0;
        for (int k = 1; k < count; ++k) differences += std::fabs(samples[k] - samples[k - 1]);
        jitter = differences / (count - 1);
    }
    return {sum / count, jitter};
}

int run_latency_phase(const char* base) {
    EasyHandle easy = new_easy_handle();
    if (!easy) {
        set_last_error(msg::kPingHandleFailed);
        return -1;
    }
    set_latency_options(easy.get());
    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1;
    }

    // Samples of the successful attempts only, in the order they happened.
    double samples[kLatencyAttempts];
    int count = 0;
    for (int attempt = 0; attempt < kLatencyAttempts; ++attempt) {
        char url[kRequestUrlSize];
        format_latency_url(url, base, attempt, platform::now_seconds());
        curl_easy_setopt(easy.get(), CURLOPT_URL, url);

        const double t0 = platform::now_seconds();
        const CURLcode outcome = curl_easy_perform(easy.get());
        const double t1 = platform::now_seconds();
        if (outcome == CURLE_OK) {
            const double sample_ms = (t1 - t0) * 1000.0;
            samples[count++] = sample_ms;
            report_tick(kPhasePing, sample_ms, 10 * (attempt + 1));
        }

        if (attempt == kLatencyAttempts - 1) break;
        if (!cancel_requested()) platform::sleep_ms(kPauseBetweenAttemptsMs);
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            return -1;
        }
    }
    easy.reset();

    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1;
    }
    if (count == 0) {
        set_last_error(msg::kPingFailed);
        return -1;
    }
    const LatencySummary summary = summarize_latency(samples, count);
    update_result([&](TestResult& r) {
        write_phase(r, kPhaseDownload);
        r.ping_ms = summary.mean_ms;
        r.jitter_ms = summary.jitter_ms;
    });
    return 0;
}

}  // namespace linkrate
