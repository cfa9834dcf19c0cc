// Live progress on stderr, and the hand-over of the internet run's progress
// reports to the --ticks file.
//
// Everything that can wait on the outside world (a slow or paused terminal, a
// slow disk) happens on a thread of its own. The progress callback runs on the
// measuring thread and only queues the report, so it never waits for either.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "outcome.h"

namespace linkrate_cli {

// True when progress may be drawn: stderr is a terminal.
bool progress_enabled();

// Text that takes the cursor to the start of stderr's line and clears it:
// "\r\033[K" where the terminal takes it, else "\r", spaces over the line
// and "\r" again.
std::string clear_line();

enum class ProgressKind { internet, lan };

class Progress {
public:
    // For a LAN test `test` names it and `duration_ms` is its transfer
    // duration (after its default). `draw`: draw on stderr; the ticks file, if
    // open, is written either way.
    Progress(ProgressKind kind, LanTest test, int duration_ms, bool draw);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Writes what is still queued, draws the final lines and ends the thread.
    void stop();

    // The library's progress callback: queues the report for the thread.
    static void on_tick(const char* phase, double value, std::int32_t percent);

    struct Tick {
        std::chrono::steady_clock::time_point when;
        char phase[16];
        double value;
        std::int32_t percent;
    };

private:
    struct Phase {
        const char* label;
        const char* recorded;  // the record's phase text that shows the phase has ended
        const char* tick;      // the progress reports' phase text; null: none come
        bool timer;            // show the time since the phase began
    };

    void run();
    void step(bool last);
    std::string live_line(const Phase& phase, double elapsed) const;
    std::string final_line(const Phase& phase) const;

    ProgressKind kind_;
    int duration_ms_;
    bool draw_;
    std::vector<Phase> phases_;

    std::mutex lock_;  // guards queue_ and stop_; held only to hand ticks over
    std::condition_variable wake_;
    std::vector<Tick> queue_;
    bool stop_ = false;
    std::atomic<unsigned> dropped_{0};

    // Owned by the thread.
    std::size_t current_ = 0;  // index of the phase under way
    std::chrono::steady_clock::time_point phase_start_;
    std::int32_t tick_percent_ = 0;
    double tick_value_ = 0;
    bool have_tick_value_ = false;
    std::string record_json_;
    bool line_drawn_ = false;

    std::thread thread_;
};

}  // namespace linkrate_cli
