#include "progress.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "interrupt.h"
#include "report.h"
#include "system.h"
#include "tarnwell/linkrate.h"
#include "ticks_log.h"

namespace linkrate_cli {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);
// About 70 reports make an internet run; the bound only matters when the
// thread cannot keep up at all, and then the newest reports are dropped.
constexpr std::size_t kQueueLimit = 4096;

// The one Progress whose thread takes the reports (the program runs one test
// at a time).
std::atomic<Progress*> g_active{nullptr};

// Order of the record's phase texts along a run.
int phase_order(const std::string& phase) {
    static const char* const kOrder[] = {"idle", "ping", "download", "upload", "complete"};
    for (int i = 0; i < 5; ++i) {
        if (phase == kOrder[i]) return i;
    }
    return 0;
}

std::string bar(double fraction) {
    constexpr int kWidth = 20;
    fraction = std::fmin(std::fmax(fraction, 0.0), 1.0);
    const int filled = static_cast<int>(std::lround(fraction * kWidth));
    return "[" + std::string(filled, '#') + std::string(kWidth - filled, '.') + "]";
}

// Columns of the terminal on stderr, read at every redraw so that a resized
// window is followed.
std::size_t terminal_columns() { return stderr_columns(); }

// A line never reaches the last column: a terminal that wraps there would
// leave the next redraw one line too low.
std::string fit(std::string line, std::size_t columns) {
    if (columns > 1 && line.size() > columns - 1) line.resize(columns - 1);
    return line;
}

void write_all(const std::string& text) { write_stderr(text.data(), text.size()); }

}  // namespace

bool progress_enabled() {
    static const bool enabled = stderr_is_terminal();
    return enabled;
}

std::string clear_line() {
    if (stderr_takes_vt()) return "\r\033[K";
    const std::size_t columns = terminal_columns();
    return "\r" + std::string(columns > 1 ? columns - 1 : 0, ' ') + "\r";
}

Progress::Progress(ProgressKind kind, LanTest test, int duration_ms, bool draw)
    : kind_(kind), duration_ms_(duration_ms), draw_(draw && progress_enabled()) {
    const Phase latency_lan{"Latency", "ping", nullptr, true};
    const Phase download_lan{"Download", "download", nullptr, false};
    const Phase upload_lan{"Upload", "upload", nullptr, false};
    if (kind == ProgressKind::internet) {
        // The record names the phase under way, so a phase has ended once the
        // record names the next one.
        phases_ = {{"Latency", "download", "ping", true},
                   {"Download", "upload", "download", false},
                   {"Upload", "complete", "upload", false}};
    } else if (test == LanTest::ping) {
        phases_ = {latency_lan};
    } else if (test == LanTest::download) {
        phases_ = {download_lan};
    } else if (test == LanTest::upload) {
        phases_ = {upload_lan};
    } else {
        phases_ = {latency_lan, download_lan, upload_lan};
    }
    queue_.reserve(256);
    phase_start_ = Clock::now();
    if (!draw_ && !ticks_log_is_open()) return;
    g_active.store(this);
    thread_ = std::thread([this] { run(); });
}

Progress::~Progress() { stop(); }

void Progress::stop() {
    if (!thread_.joinable()) return;
    g_active.store(nullptr);
    {
        std::lock_guard<std::mutex> hold(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
    if (dropped_.load() > 0 && ticks_log_is_open()) {
        fmt::print(stderr, "linkrate: {} progress reports were dropped\n", dropped_.load());
    }
}

void Progress::on_tick(const char* phase, double value, std::int32_t percent) {
    Progress* self = g_active.load();
    if (self == nullptr) return;
    Tick tick{Clock::now(), {}, value, percent};
    std::snprintf(tick.phase, sizeof tick.phase, "%s", phase);
    std::lock_guard<std::mutex> hold(self->lock_);
    if (self->queue_.size() >= kQueueLimit) {
        self->dropped_.fetch_add(1);
        return;
    }
    self->queue_.push_back(tick);
}

void Progress::run() {
    std::unique_lock<std::mutex> hold(lock_);
    while (!stop_) {
        wake_.wait_for(hold, kRedrawPeriod, [this] { return stop_; });
        hold.unlock();
        step(false);
        hold.lock();
    }
    hold.unlock();
    step(true);
}

void Progress::step(bool last) {
    std::vector<Tick> ticks;
    {
        std::lock_guard<std::mutex> hold(lock_);
        ticks.swap(queue_);
    }
    for (const Tick& t : ticks) ticks_log_write(t.when, t.phase, t.value, t.percent);
    if (!draw_) return;

    // This thread is the only reader of the record while the test runs.
    record_json_ = read_record_json();
    const auto record = parse_result(record_json_.c_str());
    const int recorded = record ? phase_order(record->phase) : 0;

    std::string out;
    while (current_ < phases_.size() && recorded >= phase_order(phases_[current_].recorded)) {
        // A LAN test records its phase also when Ctrl-C cut it short: no 100 %
        // line for that one.
        const bool cut_short = kind_ == ProgressKind::lan && interrupted();
        std::string line = cut_short || !record ? "" : final_line(phases_[current_]);
        out += clear_line();
        if (!line.empty()) out += fit(line, terminal_columns()) + "\n";
        line_drawn_ = false;
        ++current_;
        phase_start_ = Clock::now();
        tick_percent_ = 0;
        have_tick_value_ = false;
    }
    for (const Tick& t : ticks) {
        if (current_ < phases_.size() && phases_[current_].tick != nullptr &&
            std::strcmp(t.phase, phases_[current_].tick) == 0) {
            tick_percent_ = t.percent;
            tick_value_ = t.value;
            have_tick_value_ = true;
        }
    }
    if (last || current_ >= phases_.size()) {
        if (line_drawn_) out += clear_line();
        line_drawn_ = false;
    } else {
        const double elapsed = std::chrono::duration<double>(Clock::now() - phase_start_).count();
        out += clear_line() + fit(live_line(phases_[current_], elapsed), terminal_columns());
        line_drawn_ = true;
    }
    write_all(out);
}

std::string Progress::live_line(const Phase& phase, double elapsed) const {
    const std::string head = fmt::format("  {:<10}", phase.label);
    if (kind_ == ProgressKind::lan) {
        if (phase.timer) return head + fmt::format("{:.1f} s", elapsed);
        // 100 % is kept for the final line, which shows the recorded figure.
        const double fraction = std::fmin(elapsed * 1000.0 / duration_ms_, 0.99);
        return head + fmt::format("{} {:3.0f}%  {:.1f} s", bar(fraction), fraction * 100, elapsed);
    }
    std::string line =
        head + fmt::format("{} {:3d}%", bar(tick_percent_ / 100.0), std::min(tick_percent_, 99));
    if (phase.timer) {
        // Latency requests can take seconds each when they time out: the clock
        // shows that the run is alive between two reports.
        if (have_tick_value_) line += "  " + format_latency(tick_value_);
        return line + fmt::format("  {:.1f} s", elapsed);
    }
    if (have_tick_value_) line += "  " + format_rate(tick_value_);
    return line;
}

std::string Progress::final_line(const Phase& phase) const {
    const auto record = parse_result(record_json_.c_str());
    if (!record) return "";
    std::string figure;
    if (std::strcmp(phase.label, "Latency") == 0 && record->ping_ms > 0) {
        figure = format_latency(record->ping_ms);
    } else if (std::strcmp(phase.label, "Download") == 0 && record->download_mbps > 0) {
        figure = format_rate(record->download_mbps);
    } else if (std::strcmp(phase.label, "Upload") == 0 && record->upload_mbps > 0) {
        figure = format_rate(record->upload_mbps);
    }
    // A test that measured nothing gets no line here; the table says "failed".
    if (figure.empty()) return "";
    return fmt::format("  {:<10}{} 100%  {}", phase.label, bar(1.0), figure);
}

}  // namespace linkrate_cli
