// What a run came to, for the program: which figures were measured, which
// tests failed or were stopped, and the messages that say why.
//
// The program is stricter than the library: a transfer that the library
// reports as 0.0 Mbit/s moved nothing, so the program counts it as failed.
#pragma once

#include <string>
#include <vector>

#include "report.h"

namespace linkrate_cli {

enum class LanTest { ping, download, upload, full };

enum class Verdict { ok, failed, stopped };

// The word that stands for a verdict in the CSV line.
const char* verdict_name(Verdict verdict);

struct Outcome {
    std::vector<Row> rows;
    std::vector<std::string> errors;  // "download from HOST:PORT: reason", one per failed test
    Verdict verdict = Verdict::ok;
};

struct LanRun {
    LanTest test = LanTest::full;
    std::string target;  // "HOST:PORT"
    int duration_ms = 0;
    bool started = false;  // false: the run was stopped before its first test
    double returned = 0;   // what the single test returned; unused for the full run
    Result record;         // the library's record after the run, reset before it
    std::string last_error;
    bool stopped = false;  // Ctrl-C or SIGTERM arrived
};

struct InternetRun {
    std::string target;  // the base URL
    int returned = 0;
    Result record;
    std::string last_error;
    bool stopped = false;
    // The running rates of the latest download and upload ticks (0: none).
    double download_so_far = 0.0;
    double upload_so_far = 0.0;
};

Outcome judge_lan(const LanRun& run);
Outcome judge_internet(const InternetRun& run);

}  // namespace linkrate_cli
