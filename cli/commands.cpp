#include "commands.h"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "interrupt.h"
#include "progress.h"
#include "report.h"
#include "tarnwell/linkrate.h"
#include "ticks_log.h"

namespace linkrate_cli {
namespace {

constexpr int kExitFailed = 1;
constexpr int kExitInterrupted = 130;

void on_tick(const char* phase, double value, std::int32_t percent) {
    ticks_log_write(phase, value, percent);
    internet_progress(phase, value, percent);
}

// Prints the outcome of a test and picks the exit status. The JSON text goes
// to stdout as it is, whatever happened; a message goes to stderr.
int finish(bool ok, unsigned rows, const OutputOptions& out) {
    ticks_log_close();
    const char* json = linkrate_result_json();
    const bool was_interrupted = interrupted();
    if (!ok && !was_interrupted) fmt::print(stderr, "linkrate: {}\n", linkrate_last_error());
    if (was_interrupted) fmt::print(stderr, "linkrate: interrupted; results so far:\n");
    if (out.json) {
        fmt::print("{}\n", json);
    } else if (ok || was_interrupted) {
        auto result = parse_result(json);
        if (result) print_table(stdout, *result, rows);
    }
    std::fflush(stdout);
    linkrate_cleanup();
    if (was_interrupted) return kExitInterrupted;
    return ok ? 0 : kExitFailed;
}

bool open_ticks(const OutputOptions& out) {
    if (out.ticks_path.empty()) return true;
    if (ticks_log_open(out.ticks_path)) return true;
    fmt::print(stderr, "linkrate: cannot write ticks file '{}'\n", out.ticks_path);
    return false;
}

// A port on 127.0.0.1 that the system reports free right now.
int free_loopback_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = -1;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
        port = ntohs(addr.sin_port);
    }
    close(fd);
    return port;
}

}  // namespace

int run_serve(int port) {
    linkrate_init();
    if (linkrate_start_server(port) != 0) {
        fmt::print(stderr, "linkrate: {}\n", linkrate_last_error());
        linkrate_cleanup();
        return kExitFailed;
    }
    fmt::print("Serving LAN tests on port {} (all IPv4 addresses). Press Ctrl-C to stop.\n", port);
    std::fflush(stdout);
    wait_for_interrupt();
    linkrate_stop_server();
    linkrate_cleanup();
    fmt::print("Server stopped.\n");
    return 0;
}

int run_lan(LanTest test, const Endpoint& endpoint, int count_or_duration,
            const OutputOptions& out) {
    if (!open_ticks(out)) return kExitFailed;
    linkrate_init();
    const char* host = endpoint.host.c_str();
    const int port = endpoint.port;
    bool ok = false;
    unsigned rows = 0;
    {
        switch (test) {
            case LanTest::ping: {
                LanProgress progress("Ping", 0);
                ok = linkrate_ping(host, port, count_or_duration) >= 0;
                rows = kLatency;
                break;
            }
            case LanTest::download: {
                LanProgress progress("Download", count_or_duration);
                ok = linkrate_download(host, port, count_or_duration) >= 0;
                rows = kDownload | kDuration;
                break;
            }
            case LanTest::upload: {
                LanProgress progress("Upload", count_or_duration);
                ok = linkrate_upload(host, port, count_or_duration) >= 0;
                rows = kUpload | kDuration;
                break;
            }
            case LanTest::full: {
                LanProgress progress("", count_or_duration);
                ok = linkrate_run_all(host, port, count_or_duration) == 0;
                rows = kLatency | kDownload | kUpload | kDuration;
                break;
            }
        }
    }
    return finish(ok, rows, out);
}

int run_internet(const std::string& url, const OutputOptions& out) {
    if (!open_ticks(out)) return kExitFailed;
    linkrate_init();
    linkrate_set_tick(on_tick);
    bool ok = linkrate_internet_run(url.c_str()) == 0;
    internet_progress_done();
    linkrate_set_tick(nullptr);
    return finish(ok, kLatency | kJitter | kDownload | kUpload | kDuration, out);
}

int run_demo(int duration_ms, const OutputOptions& out) {
    linkrate_init();
    // Another program may take the free port before the server binds it.
    int port = -1;
    for (int attempt = 0; attempt < 10 && port < 0; ++attempt) {
        int candidate = free_loopback_port();
        if (candidate > 0 && linkrate_start_server(candidate) == 0) port = candidate;
    }
    if (port < 0) {
        fmt::print(stderr, "linkrate: {}\n", linkrate_last_error());
        linkrate_cleanup();
        return kExitFailed;
    }
    if (!out.json) {
        fmt::print("linkrate {}: built-in server on 127.0.0.1:{}, full LAN test...\n",
                   linkrate_version(), port);
        std::fflush(stdout);
    }
    int status = run_lan(LanTest::full, Endpoint{"127.0.0.1", port}, duration_ms, out);
    // run_lan's cleanup has stopped the server already; this is a no-op then.
    linkrate_stop_server();
    return status;
}

}  // namespace linkrate_cli
