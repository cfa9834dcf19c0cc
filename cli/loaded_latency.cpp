#include "loaded_latency.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace linkrate_cli {
namespace {

using Clock = std::chrono::steady_clock;

// How often a thread that waits for a transfer, or for its next probe, looks
// at the stop flag and the load.
constexpr auto kLook = std::chrono::milliseconds(10);

}  // namespace

LoadedFigures summarize(std::vector<double>& samples, int lost) {
    LoadedFigures figures;
    figures.lost = lost;
    figures.probes = static_cast<int>(samples.size()) + lost;
    if (samples.empty()) return figures;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    figures.median_ms = n % 2 == 1 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    // Nearest rank: the smallest sample that at least 90 % of them do not exceed.
    const auto rank = static_cast<std::size_t>(std::ceil(0.9 * static_cast<double>(n)));
    figures.p90_ms = samples[std::max<std::size_t>(rank, 1) - 1];
    return figures;
}

LoadedLatency::LoadedLatency(Probe probe, std::function<Load()> load)
    : probe_(std::move(probe)), load_(std::move(load)) {
    thread_ = std::thread([this] { run(); });
}

LoadedLatency::~LoadedLatency() { stop(); }

void LoadedLatency::stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
}

LoadedFigures LoadedLatency::figures(Load direction) {
    std::lock_guard<std::mutex> hold(lock_);
    std::vector<double> samples = direction == Load::down ? down_ : up_;
    return summarize(samples, direction == Load::down ? down_lost_ : up_lost_);
}

void LoadedLatency::run() {
    auto next = Clock::now();
    while (!stop_.load()) {
        const Load before = load_();
        if (before == Load::none || Clock::now() < next) {
            std::this_thread::sleep_for(kLook);
            continue;
        }
        next = Clock::now() + kProbePeriod;
        const ProbeResult result = probe_(stop_);
        if (result.stopped || stop_.load() || load_() != before) continue;
        std::lock_guard<std::mutex> hold(lock_);
        if (result.round_trip_ms) {
            (before == Load::down ? down_ : up_).push_back(*result.round_trip_ms);
        } else {
            ++(before == Load::down ? down_lost_ : up_lost_);
        }
    }
}

}  // namespace linkrate_cli
