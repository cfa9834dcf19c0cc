#include "ticks_log.h"

#include <fmt/format.h>

#include <cstdio>

namespace linkrate_cli {
namespace {

// Written by the progress thread only, between an open and a close that the
// main thread makes while that thread does not run.
std::FILE* g_file = nullptr;
std::chrono::steady_clock::time_point g_start;

}  // namespace

bool ticks_log_open(const std::string& path) {
    g_file = std::fopen(path.c_str(), "w");
    g_start = std::chrono::steady_clock::now();
    return g_file != nullptr;
}

bool ticks_log_is_open() { return g_file != nullptr; }

void ticks_log_write(std::chrono::steady_clock::time_point when, const char* phase, double value,
                     std::int32_t percent) {
    if (g_file == nullptr) return;
    double t = std::chrono::duration<double>(when - g_start).count();
    // The phase is one of the library's own fixed words; nothing to escape.
    fmt::print(g_file, "{{\"t\":{:.4f},\"phase\":\"{}\",\"value\":{},\"percent\":{}}}\n", t, phase,
               value, percent);
}

void ticks_log_close() {
    if (g_file != nullptr) std::fclose(g_file);
    g_file = nullptr;
}

}  // namespace linkrate_cli
