// Helpers for tests of the internet run: a recording tick callback, access to
// the result record, and a run that stops once the latency phase is recorded.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
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

// Every run test starts from an initialised library whose record holds what
// an earlier test left: ping 1.5, download 200.0, upload 50.0, jitter 0.25.
class SeededRunTest : public ::testing::Test {
protected:
    void SetUp() override;
};

// An empty 200 for every request but downloads, which get `body_bytes` zeros.
Reply downloads_of(const RecordedRequest& request, std::uint64_t body_bytes);

// A copy of the record, taken under the lock.
TestResult record();
// Writes rates and a server text as an earlier test would have left them.
void seed_record(double ping, double download, double upload, double jitter);

// Runs against `base` and stops right after the latency phase has been
// recorded (at the first download tick). True when the latency phase
// succeeded; otherwise the run's failure is in the last-error text.
bool run_latency_only(const std::string& base);

// Checks what every completed run leaves: result 0, no message, phase
// "complete", the duration of two 3 s phases, and the ticks in phase order
// with rising percents, at least 0.098 s apart, ending in one "complete" tick
// with the recorded upload rate. Rates are checked by the caller.
void expect_complete_run(int result);

// The attempt index of a latency request "GET .../empty?t=<i>_<ms>", or -1.
int latency_attempt(const RecordedRequest& request);

}  // namespace linkrate::test
