#include "commands.h"

#include <fmt/format.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>

#include "csv.h"
#include "diagnose.h"
#include "interrupt.h"
#include "latency_probes.h"
#include "loaded_report.h"
#include "progress.h"
#include "report.h"
#include "system.h"
#include "tarnwell/linkrate.h"
#include "ticks_log.h"

namespace linkrate_cli {
namespace {

using SystemClock = std::chrono::system_clock;

constexpr int kExitFailed = 1;

bool draw_progress(const OutputOptions& out) { return !out.quiet && !out.no_progress; }

// The library's record after a test, as text and as fields.
struct Record {
    std::string json;
    Result fields;
};

Record read_record() {
    Record record{read_record_json(), {}};
    if (auto fields = parse_result(record.json.c_str())) record.fields = *fields;
    return record;
}

// Prints the outcome and picks the exit status. Messages go to stderr; stdout
// gets the JSON text, the CSV line or the table, whatever happened.
// Adds what the program found out about the target to the first failure
// line of a failed run; a stopped run is left as it is.
void add_cause(Outcome& outcome, const std::function<std::string()>& diagnose) {
    if (outcome.verdict != Verdict::failed || outcome.errors.empty()) return;
    const std::string cause = diagnose();
    if (!cause.empty()) outcome.errors.front() += " (" + cause + ")";
}

int report(Outcome& outcome, const Record& record, const std::string& server,
           const std::string& target, SystemClock::time_point started, const OutputOptions& out,
           const LoadedRun& loaded) {
    for (const std::string& error : outcome.errors) fmt::print(stderr, "linkrate: {}\n", error);
    if (outcome.verdict == Verdict::stopped) {
        fmt::print(stderr, "linkrate: interrupted{}\n",
                   out.for_scripts() || out.quiet ? "" : "; results so far:");
    }
    if (out.json_all) {
        fmt::print("{}\n", json_all(record.json, loaded));
    } else if (out.csv_all) {
        if (out.csv_all_header) fmt::print("{}", csv_all_header());
        fmt::print("{}", csv_all_line(started, target, record.json.c_str(),
                                      verdict_name(outcome.verdict), loaded));
    } else if (out.json) {
        fmt::print("{}\n", record.json);
    } else if (out.csv) {
        if (out.csv_header) fmt::print("{}", csv_header());
        fmt::print("{}",
                   csv_line(started, target, record.json.c_str(), verdict_name(outcome.verdict)));
    } else if (!out.quiet) {
        add_loaded_rows(outcome.rows, loaded);
        print_table(stdout, server, outcome.rows);
    }
    std::fflush(stdout);
    linkrate_cleanup();
    switch (outcome.verdict) {
        case Verdict::ok:
            return 0;
        case Verdict::failed:
            return kExitFailed;
        case Verdict::stopped:
            return interrupt_exit_status();
    }
    return kExitFailed;
}

// The running rate of each throughput phase's latest tick: what a phase that
// a stop cut short had measured so far. Written by the progress callback on
// the test's thread, read on it after the run.
std::atomic<double> g_download_so_far{0.0};
std::atomic<double> g_upload_so_far{0.0};
// The transfer under way, as the ticks say, for the loaded-latency probes.
std::atomic<Load> g_internet_load{Load::none};

void on_internet_tick(const char* phase, double value, std::int32_t percent) {
    if (std::strcmp(phase, "download") == 0) g_download_so_far.store(value);
    if (std::strcmp(phase, "upload") == 0) g_upload_so_far.store(value);
    g_internet_load.store(std::strcmp(phase, "download") == 0 ? Load::down
                          : std::strcmp(phase, "upload") == 0 ? Load::up
                                                              : Load::none);
    Progress::on_tick(phase, value, percent);
}

// The full LAN run gives no ticks; its record names the test that last
// finished: after "ping" the download runs, after "download" the upload. A
// ping that failed leaves no phase, and then the download goes unprobed.
Load lan_load() {
    const auto record = parse_result(read_record_json().c_str());
    if (!record) return Load::none;
    if (record->phase == "ping") return Load::down;
    if (record->phase == "download") return Load::up;
    return Load::none;
}

LoadedRun loaded_figures(LoadedLatency* probes) {
    LoadedRun loaded;
    if (probes == nullptr) return loaded;
    probes->stop();
    loaded.probed = true;
    loaded.down = probes->figures(Load::down);
    loaded.up = probes->figures(Load::up);
    return loaded;
}

}  // namespace

int run_serve(int port, const OutputOptions& out) {
    linkrate_init();
    if (linkrate_start_server(port) != 0) {
        const std::string message = linkrate_last_error();
        const std::string cause = diagnose_bind(port);
        fmt::print(stderr, "linkrate: serve on port {}: {}{}\n", port, message,
                   cause.empty() ? "" : " (" + cause + ")");
        linkrate_cleanup();
        return kExitFailed;
    }
    if (!out.quiet) {
        fmt::print("Serving LAN tests on port {} (all IPv4 addresses). Press Ctrl-C to stop.\n",
                   port);
        std::fflush(stdout);
    }
    wait_for_interrupt();
    linkrate_stop_server();
    linkrate_cleanup();
    if (!out.quiet) fmt::print("Server stopped.\n");
    // A service manager reads any other status after SIGTERM as a failure.
    return 0;
}

int run_lan(LanTest test, const Endpoint& endpoint, int count_or_duration,
            const OutputOptions& out) {
    const auto started_at = SystemClock::now();
    // The record starts from zero, so a figure still at 0 afterwards is a test
    // that measured nothing.
    linkrate_init();
    const char* host = endpoint.host.c_str();
    const int port = endpoint.port;

    LanRun run;
    run.test = test;
    run.target = fmt::format("{}:{}", endpoint.host, endpoint.port);
    run.duration_ms = count_or_duration;
    // A signal during the set-up (the server start of `demo`) stops the run
    // before its first test.
    run.started = !interrupted();
    std::unique_ptr<LoadedLatency> probes;
    if (run.started) {
        Progress progress(ProgressKind::lan, test, count_or_duration, draw_progress(out));
        if (test == LanTest::full && out.loaded) {
            probes = std::make_unique<LoadedLatency>(lan_ping_probe(endpoint.host, port), lan_load);
        }
        const TestCall call;
        switch (test) {
            case LanTest::ping:
                run.returned = linkrate_ping(host, port, count_or_duration);
                break;
            case LanTest::download:
                run.returned = linkrate_download(host, port, count_or_duration);
                break;
            case LanTest::upload:
                run.returned = linkrate_upload(host, port, count_or_duration);
                break;
            case LanTest::full:
                linkrate_run_all(host, port, count_or_duration);
                break;
        }
        progress.stop();
    }
    const LoadedRun loaded = loaded_figures(probes.get());
    run.stopped = interrupted();
    const Record record = read_record();
    run.record = record.fields;
    run.last_error = linkrate_last_error();
    Outcome outcome = judge_lan(run);
    add_cause(outcome, [&] { return diagnose_lan(endpoint.host, endpoint.port); });
    return report(outcome, record, run.target, run.target, started_at, out, loaded);
}

int run_internet(const std::string& url, const OutputOptions& out) {
    if (!out.ticks_path.empty() && !ticks_log_open(out.ticks_path)) {
        fmt::print(stderr, "linkrate: cannot write ticks file '{}'\n", out.ticks_path);
        return kExitFailed;
    }
    const auto started_at = SystemClock::now();
    linkrate_init();
    InternetRun run;
    run.target = url;
    std::unique_ptr<LoadedLatency> probes;
    {
        Progress progress(ProgressKind::internet, LanTest::full, 0, draw_progress(out));
        g_internet_load.store(Load::none);
        if (out.loaded) {
            probes = std::make_unique<LoadedLatency>(internet_empty_probe(url),
                                                     [] { return g_internet_load.load(); });
        }
        linkrate_set_tick(on_internet_tick);
        // A signal before the run leaves it at the start: nothing measured.
        run.returned = -1;
        if (!interrupted()) {
            const TestCall call;
            run.returned = linkrate_internet_run(url.c_str());
        }
        linkrate_set_tick(nullptr);
        g_internet_load.store(Load::none);
        progress.stop();
    }
    const LoadedRun loaded = loaded_figures(probes.get());
    // The run goes on when the ticks cannot be written; the result is printed
    // all the same, and the exit status says that something asked for is missing.
    const std::string ticks_error = ticks_log_close();
    if (!ticks_error.empty()) fmt::print(stderr, "linkrate: {}\n", ticks_error);
    run.stopped = interrupted();
    run.download_so_far = g_download_so_far.load();
    run.upload_so_far = g_upload_so_far.load();
    const Record record = read_record();
    run.record = record.fields;
    run.last_error = linkrate_last_error();
    const std::string server = record.fields.phase == "idle" ? url : record.fields.server;
    Outcome outcome = judge_internet(run);
    add_cause(outcome, [&] { return diagnose_internet(url); });
    const int status = report(outcome, record, server, url, started_at, out, loaded);
    return status == 0 && !ticks_error.empty() ? kExitFailed : status;
}

int run_demo(int duration_ms, const OutputOptions& out) {
    linkrate_init();
    // Another program may take the free port before the server binds it.
    int port = -1;
    for (int attempt = 0; attempt < 10 && port < 0 && !interrupted(); ++attempt) {
        int candidate = free_loopback_port();
        if (candidate > 0 && linkrate_start_server(candidate) == 0) port = candidate;
    }
    if (port < 0 && !interrupted()) {
        fmt::print(stderr, "linkrate: built-in server on 127.0.0.1: {}\n", linkrate_last_error());
        linkrate_cleanup();
        return kExitFailed;
    }
    if (!out.for_scripts() && !out.quiet && port > 0) {
        fmt::print("linkrate {}: built-in server on 127.0.0.1:{}, full LAN test...\n",
                   linkrate_version(), port);
        std::fflush(stdout);
    }
    // run_lan's cleanup stops the server.
    return run_lan(LanTest::full, Endpoint{"127.0.0.1", port > 0 ? port : 0}, duration_ms, out);
}

}  // namespace linkrate_cli
