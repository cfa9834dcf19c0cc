// The library's JSON result read back, and the table that shows it.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace linkrate_cli {

struct Result {
    double ping_ms = 0;
    double download_mbps = 0;
    double upload_mbps = 0;
    long long duration_ms = 0;
    double jitter_ms = 0;
    std::string server;
    std::string phase;
};

std::optional<Result> parse_result(const char* json);

// The library's JSON text now, copied. The library's text may change during
// any call of linkrate_result_json, so the program's threads that read it
// while a test runs (progress, loaded-latency probes) take turns here.
std::string read_record_json();

// "12.3 Mbit/s" with a precision that suits the magnitude.
std::string format_rate(double mbps);
// "0.071 ms", "12.34 ms".
std::string format_latency(double ms);

// What a row of the table can say.
enum class RowState {
    measured,      // `value` holds the figure
    failed,        // the test ran and measured nothing usable
    stopped,       // Ctrl-C or SIGTERM ended the test; `value` may hold what it had
    not_measured,  // the run never reached the test
};

struct Row {
    std::string label;
    RowState state = RowState::not_measured;
    std::string value;
};

// "  Label     text" lines: the server first, then the rows.
void print_table(std::FILE* out, const std::string& server, const std::vector<Row>& rows);

}  // namespace linkrate_cli
