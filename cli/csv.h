// --csv: one RFC 4180 line per run, for logging runs over time.
#pragma once

#include <chrono>
#include <string>

namespace linkrate_cli {

// The header line, with its CRLF.
std::string csv_header();

// The UTC time of `when` (ISO 8601, whole seconds), the target, the seven
// members of the library's JSON text in its order, and the outcome, with CRLF.
std::string csv_line(std::chrono::system_clock::time_point when, const std::string& target,
                     const char* json, const char* outcome);

}  // namespace linkrate_cli
