// Helpers for tests of the internet run: a recording tick callback, access to
// the result record, and a run that stops once the latency phase is recorded.
#pragma once

#include <string>
#include <vector>

#include "frame/result.h"
#include "scripted_server.h"

namespace linkrate::test {

struct Tick {
    std::string phase;
    double value;
    int percent;
    double at;  // platform clock, s
};

// Registers a callback that records every tick. With `cancel_on` set, the
// callback also asks for a cancel at the first tick of that phase.
void record_ticks(const char* cancel_on = nullptr);
std::vector<Tick> recorded_ticks();
// The ticks of one phase, in order.
std::vector<Tick> ticks_of(const std::string& phase);

// A copy of the record, taken under the lock.
TestResult record();
// Writes rates and a server text as an earlier test would have left them.
void seed_record(double ping, double download, double upload, double jitter);

// Runs against `base` and stops right after the latency phase has been
// recorded (at the first download tick). True when the latency phase
// succeeded; otherwise the run's failure is in the last-error text.
bool run_latency_only(const std::string& base);

// The attempt index of a latency request "GET .../empty?t=<i>_<ms>", or -1.
int latency_attempt(const RecordedRequest& request);

}  // namespace linkrate::test
