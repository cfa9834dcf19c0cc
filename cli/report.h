// The library's JSON result, read back and printed as a table.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

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

// Which rows of the table a test fills.
enum Rows : unsigned {
    kLatency = 1,
    kJitter = 2,
    kDownload = 4,
    kUpload = 8,
    kDuration = 16,
};

std::optional<Result> parse_result(const char* json);

// "12.3 Mbit/s" with a precision that suits the magnitude.
std::string format_rate(double mbps);
// "0.071 ms", "12.34 ms".
std::string format_latency(double ms);

void print_table(std::FILE* out, const Result& result, unsigned rows);

}  // namespace linkrate_cli
