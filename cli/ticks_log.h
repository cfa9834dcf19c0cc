// --ticks FILE: every progress report as one JSON line, for plots.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace linkrate_cli {

// Opens (truncates) `path`; false when it cannot be written.
bool ticks_log_open(const std::string& path);
bool ticks_log_is_open();
// {"t":<seconds from the open to `when`>,"phase":"...","value":<v>,"percent":<p>}
// After a write fails, later ticks are not written.
void ticks_log_write(std::chrono::steady_clock::time_point when, const char* phase, double value,
                     std::int32_t percent);
// Closes the file. Empty when every tick was written and the file closed
// cleanly; otherwise the message that says what went wrong.
std::string ticks_log_close();

}  // namespace linkrate_cli
