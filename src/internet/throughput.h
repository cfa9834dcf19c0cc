// The download and upload phases of the internet run: parallel transfers on
// one multi handle for a fixed time, restarted as they end.
#pragma once

#include <cstdint>

namespace linkrate {

inline constexpr double kThroughputPhaseSeconds = 3.0;
inline constexpr double kTickSpacingSeconds = 0.098;

// Megabits (10^6 bit) per second of `bytes` over `seconds`.
double rate_mbps(std::uint64_t bytes, double seconds);
// The part of the phase that `elapsed` seconds make, in whole percent, at most 100.
int phase_percent(double elapsed);

// Runs the download phase and then the upload phase against `base` (the
// cleaned base URL); records each final rate, the duration and phase
// "complete", and makes the "complete" tick. Returns 0, or -1 with the last
// error set (failure or cancel).
int run_throughput_phases(const char* base);

}  // namespace linkrate
