// The latency phase of the internet run: ten timed requests on one handle.
#pragma once

namespace linkrate {

inline constexpr int kLatencyAttempts = 10;

struct LatencySummary {
    double mean_ms;
    double jitter_ms;  // mean absolute difference of consecutive samples
};

// Mean and jitter of `count` (at least 1) samples, in the order given.
LatencySummary summarize_latency(const double* samples, int count);

// Measures latency against `base` (the cleaned base URL), reporting each
// successful sample as a "ping" tick, and on success records the mean and
// jitter with phase "download". Returns 0, or -1 with the last error set.
int run_latency_phase(const char* base);

}  // namespace linkrate
