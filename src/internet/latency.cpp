#include "internet/latency.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/curl_handles.h"
#include "internet/requests.h"
#include "platform/platform.h"

namespace linkrate {
namespace {

constexpr int kPauseBetweenAttemptsMs = 20;

// What the latest transfer spent setting its connection up, as libcurl
// reports it: name lookup and TCP connect, and the TLS handshake where there
// is one; 0 when it reused the connection.
double connection_setup_seconds(CURL* easy) {
    curl_off_t connect_us = 0;
    curl_off_t tls_us = 0;
    curl_easy_getinfo(easy, CURLINFO_CONNECT_TIME_T, &connect_us);
    curl_easy_getinfo(easy, CURLINFO_APPCONNECT_TIME_T, &tls_us);
    return static_cast<double>(std::max(connect_us, tls_us)) / 1e6;
}

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
            // One request round trip: the connection's set-up is left out.
            const double sample_ms =
                std::max(t1 - t0 - connection_setup_seconds(easy.get()), 0.0) * 1000.0;
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
