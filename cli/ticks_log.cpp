#include "ticks_log.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace linkrate_cli {
namespace {

// Written by the progress thread only, between an open and a close that the
// main thread makes while that thread does not run.
std::FILE* g_file = nullptr;
std::chrono::steady_clock::time_point g_start;
std::string g_path;
// The errno of the first failed write; no tick is written after it.
int g_error = 0;

}  // namespace

bool ticks_log_open(const std::string& path) {
    g_file = std::fopen(path.c_str(), "w");
    g_start = std::chrono::steady_clock::now();
    g_path = path;
    g_error = 0;
    // A line at a time: a reader following the file sees each tick as it
    // comes, and a failing write shows at once.
    if (g_file != nullptr) std::setvbuf(g_file, nullptr, _IOLBF, 0);
    return g_file != nullptr;
}

bool ticks_log_is_open() { return g_file != nullptr; }

void ticks_log_write(std::chrono::steady_clock::time_point when, const char* phase, double value,
                     std::int32_t percent) {
    if (g_file == nullptr || g_error != 0) return;
    double t = std::chrono::duration<double>(when - g_start).count();
    // The phase is one of the library's own fixed words; nothing to escape.
    const std::string line =
        fmt::format("{{\"t\":{:.4f},\"phase\":\"{}\",\"value\":{},\"percent\":{}}}\n", t, phase,
                    value, percent);
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), g_file) != line.size() || std::ferror(g_file)) {
        g_error = errno != 0 ? errno : EIO;
    }
}

std::string ticks_log_close() {
    if (g_file == nullptr) return {};
    errno = 0;
    if (std::fclose(g_file) != 0 && g_error == 0) g_error = errno != 0 ? errno : EIO;
    g_file = nullptr;
    if (g_error == 0) return {};
    return fmt::format("cannot write ticks file '{}': {}; the ticks in it are incomplete", g_path,
                       std::strerror(g_error));
}

}  // namespace linkrate_cli
