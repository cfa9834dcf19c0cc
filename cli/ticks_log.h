// --ticks FILE: every progress report as one JSON line, for plots.
#pragma once

#include <cstdint>
#include <string>

namespace linkrate_cli {

// Opens (truncates) `path`; false when it cannot be written.
bool ticks_log_open(const std::string& path);
// {"t":<seconds since open>,"phase":"...","value":<v>,"percent":<p>}
void ticks_log_write(const char* phase, double value, std::int32_t percent);
void ticks_log_close();

}  // namespace linkrate_cli
