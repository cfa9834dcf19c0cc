// Live progress on stderr, only when stderr is a terminal.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace linkrate_cli {

// True when progress may be drawn: stderr is a terminal.
bool progress_enabled();

// For the LAN tests, which report no progress of their own: a bar of the
// elapsed time over the requested duration, redrawn ten times a second by a
// thread of its own. For the full run it follows the phase in the library's
// JSON text (it is then the one thread that polls it).
class LanProgress {
public:
    // `label` is the test's name, or empty to follow the full run's phases.
    LanProgress(std::string label, int duration_ms);
    ~LanProgress();
    LanProgress(const LanProgress&) = delete;
    LanProgress& operator=(const LanProgress&) = delete;

private:
    void draw_loop();

    std::string label_;
    int duration_ms_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// For the internet run: one line per phase, driven by the progress callback.
void internet_progress(const char* phase, double value, std::int32_t percent);
// Ends the last line of the internet run's display.
void internet_progress_done();

}  // namespace linkrate_cli
