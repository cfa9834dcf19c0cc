#include "progress.h"

#include <fmt/format.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "tarnwell/linkrate.h"

namespace linkrate_cli {
namespace {

using Clock = std::chrono::steady_clock;

std::string bar(double fraction) {
    constexpr int kWidth = 30;
    fraction = std::fmin(std::fmax(fraction, 0.0), 1.0);
    int filled = static_cast<int>(std::lround(fraction * kWidth));
    return "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
}

// Replaces the current terminal line.
void draw(const std::string& line) {
    fmt::print(stderr, "\r\033[2K{}", line);
    std::fflush(stderr);
}

// The test under way during a full LAN run, from the phase that the library
// recorded last: each phase is recorded when its test has ended.
const char* running_test_after(const char* json) {
    if (std::strstr(json, "\"phase\":\"ping\"") != nullptr) return "Download";
    if (std::strstr(json, "\"phase\":\"download\"") != nullptr) return "Upload";
    return "Ping";
}

// The internet run's display: the phase being drawn and its latency samples.
std::string g_internet_phase;
std::string g_latency_samples;

}  // namespace

bool progress_enabled() {
    static const bool enabled = isatty(STDERR_FILENO) == 1;
    return enabled;
}

LanProgress::LanProgress(std::string label, int duration_ms)
    : label_(std::move(label)), duration_ms_(duration_ms > 0 ? duration_ms : 2000) {
    if (progress_enabled()) thread_ = std::thread([this] { draw_loop(); });
}

LanProgress::~LanProgress() {
    if (!thread_.joinable()) return;
    stop_.store(true);
    thread_.join();
    draw("");
}

void LanProgress::draw_loop() {
    std::string current = label_;
    auto phase_start = Clock::now();
    while (!stop_.load()) {
        if (label_.empty()) {
            std::string now_running = running_test_after(linkrate_result_json());
            if (now_running != current) {
                current = now_running;
                phase_start = Clock::now();
            }
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - phase_start).count();
        if (current == "Ping") {
            draw(fmt::format("  {:<10}{:.1f} s", current, elapsed));
        } else {
            double fraction = elapsed * 1000.0 / duration_ms_;
            draw(fmt::format("  {:<10}{} {:3.0f}%", current, bar(fraction),
                             std::fmin(fraction, 1.0) * 100));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

void internet_progress(const char* phase, double value, std::int32_t percent) {
    if (!progress_enabled()) return;
    if (g_internet_phase != phase) {
        if (!g_internet_phase.empty()) fmt::print(stderr, "\n");
        g_internet_phase = phase;
        g_latency_samples.clear();
    }
    if (g_internet_phase == "ping") {
        g_latency_samples += fmt::format(" {:.2f}", value);
        draw(fmt::format("  {:<10}{} {:3d}% ms:{}", "Latency", bar(percent / 100.0), percent,
                         g_latency_samples));
    } else if (g_internet_phase == "download" || g_internet_phase == "upload") {
        draw(fmt::format("  {:<10}{} {:3d}%  {:.1f} Mbit/s",
                         g_internet_phase == "download" ? "Download" : "Upload",
                         bar(percent / 100.0), percent, value));
    } else {
        draw("");
        g_internet_phase.clear();
    }
}

void internet_progress_done() {
    if (!progress_enabled() || g_internet_phase.empty()) return;
    fmt::print(stderr, "\n");
    g_internet_phase.clear();
}

}  // namespace linkrate_cli
