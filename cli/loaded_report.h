// What the program shows of the loaded latency: beside the idle latency in
// the table, as members after the library's in --json-all, and as columns
// after the usual ones in --csv-all. A direction without an answered probe
// shows nothing (null in JSON, an empty CSV field).
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "loaded_latency.h"
#include "report.h"

namespace linkrate_cli {

struct LoadedRun {
    bool probed = false;  // the probes ran (a full LAN run or an internet run)
    LoadedFigures down;
    LoadedFigures up;
};

// "212 ms", "20.4 ms", "3.21 ms", "0.412 ms": three digits or so.
std::string format_loaded(double ms);

// Adds the loaded figures to the table, under the idle latency (whose row
// then says "idle"):
//   Latency   20.40 ms idle
//   Loaded    212 ms down (p90 231), 98.1 ms up (p90 105)
//   ...
//   Lost      3 of 31 probes down, 0 of 28 probes up
// the "Lost" row last, and only when a probe went unanswered.
void add_loaded_rows(std::vector<Row>& rows, const LoadedRun& loaded);

// The library's JSON text with the program's members appended:
// loaded_down_ms, loaded_down_p90_ms, loaded_down_probes, loaded_down_lost,
// and the same four for up.
std::string json_all(const std::string& record_json, const LoadedRun& loaded);

// --csv-all: the --csv columns, then the eight loaded ones.
std::string csv_all_header();
std::string csv_all_line(std::chrono::system_clock::time_point when, const std::string& target,
                         const char* json, const char* outcome, const LoadedRun& loaded);

}  // namespace linkrate_cli
