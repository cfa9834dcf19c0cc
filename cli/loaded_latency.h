// Latency under load: round trips measured by the program on connections of
// its own while the library's download or upload fills the link.
//
// A thread sends a probe about ten times a second while a transfer runs and
// files each round trip under the direction that ran when the probe was sent
// and still ran when it came back (a probe that spans the change from one
// transfer to the next, or to the end, belongs to neither and is dropped). A
// probe that has no answer within its own time-out is counted as lost.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace linkrate_cli {

enum class Load { none, down, up };

// One probe's outcome: its round trip in ms, or nothing when it was lost.
// A probe that was stopped (the phase ended, or a cancel) returns `stopped`.
struct ProbeResult {
    bool stopped = false;
    std::optional<double> round_trip_ms;
};

// Sends one probe and waits for its answer for at most its time-out, or until
// `stop` is set.
using Probe = std::function<ProbeResult(const std::atomic<bool>& stop)>;

// The loaded figures of one direction.
struct LoadedFigures {
    int probes = 0;  // sent and filed under this direction: answered + lost
    int lost = 0;
    double median_ms = 0;  // of the answered ones; meaningful when answered() > 0
    double p90_ms = 0;
    int answered() const { return probes - lost; }
};

// The median and the 90th percentile (nearest rank) of `samples`, and the
// lost count; `samples` is reordered.
LoadedFigures summarize(std::vector<double>& samples, int lost);

inline constexpr auto kProbePeriod = std::chrono::milliseconds(100);
inline constexpr auto kProbeTimeout = std::chrono::seconds(2);

class LoadedLatency {
public:
    // `load` says which transfer runs now; it is asked before and after every
    // probe, on the probe thread. Starts the thread.
    LoadedLatency(Probe probe, std::function<Load()> load);
    ~LoadedLatency();
    LoadedLatency(const LoadedLatency&) = delete;
    LoadedLatency& operator=(const LoadedLatency&) = delete;

    // Ends the probe under way at once and joins the thread.
    void stop();

    // What was filed under `direction` so far.
    LoadedFigures figures(Load direction);

private:
    void run();

    Probe probe_;
    std::function<Load()> load_;
    std::atomic<bool> stop_{false};
    std::mutex lock_;  // guards the samples; never held across a probe
    std::vector<double> down_, up_;
    int down_lost_ = 0, up_lost_ = 0;
    std::thread thread_;
};

}  // namespace linkrate_cli
