// The sub-commands. Each returns the process's exit status: 0 success, 1 a
// failed test, 130 or 143 stopped by SIGINT or SIGTERM.
#pragma once

#include <string>

#include "endpoint.h"
#include "outcome.h"

namespace linkrate_cli {

struct OutputOptions {
    bool json = false;        // the library's JSON text on stdout
    bool csv = false;         // one CSV line on stdout
    bool csv_header = false;  // the CSV header line before it
    bool json_all = false;    // the JSON text with the program's loaded figures
    bool csv_all = false;     // the CSV line with the loaded figures' columns
    bool csv_all_header = false;
    bool loaded = true;  // probe the latency during the transfers
    bool quiet = false;  // nothing else on stdout, no progress
    bool no_progress = false;
    std::string ticks_path;  // empty: no ticks file

    // Output for scripts: one JSON text or CSV line on stdout, nothing else.
    bool for_scripts() const { return json || csv || json_all || csv_all; }
};

int run_serve(int port, const OutputOptions& out);
// `count_or_duration`: the ping count for `ping`, else the transfer duration
// in ms; both at least 1.
int run_lan(LanTest test, const Endpoint& endpoint, int count_or_duration,
            const OutputOptions& out);
int run_internet(const std::string& url, const OutputOptions& out);
int run_demo(int duration_ms, const OutputOptions& out);

}  // namespace linkrate_cli
