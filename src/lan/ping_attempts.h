// The attempt loop of the LAN ping, apart from the network, so that its ending
// and its cancel checks can be driven by a stand-in attempt.
#pragma once

#include "frame/messages.h"
#include "frame/state.h"

namespace linkrate {

// What one ping attempt came to.
enum class PingOutcome {
    no_connection,  // followed by the next attempt at once, without a pause
    failed,         // connected, but no correct echo
    replied,        // the echo came back; the round trip counts
};

struct PingTally {
    int successes = 0;
    double sum_ms = 0.0;
};

// Makes `count` (at least 1) attempts, fewer when a cancel comes: the flag is
// read before each attempt and before and after each pause, never after the
// last attempt. `attempt(double* round_trip_ms)` makes one attempt and returns
// its PingOutcome, with the round trip in ms when it replied; `pause()` rests
// between attempts. A cancel writes "Cancelled by user". The loop counts the
// attempts still to make down to 0, so it ends for every count up to the
// largest value of `Count`.
template <class Count, class Attempt, class Pause>
PingTally run_ping_attempts(Count count, Attempt&& attempt, Pause&& pause) {
    PingTally tally;
    for (Count left = count; left > 0; --left) {
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            break;
        }
        double round_trip_ms = 0.0;
        const PingOutcome outcome = attempt(&round_trip_ms);
        if (outcome == PingOutcome::replied) {
            tally.sum_ms += round_trip_ms;
            ++tally.successes;
        }
        if (outcome == PingOutcome::no_connection || left == 1) continue;
        if (!cancel_requested()) pause();
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            break;
        }
    }
    return tally;
}

}  // namespace linkrate
