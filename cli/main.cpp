// linkrate: the command-line host of the tarnwell-linkrate library.
#include <fmt/format.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "diagnose.h"
#include "endpoint.h"
#include "help_format.h"
#include "interrupt.h"
#include "system.h"
#include "tarnwell/linkrate.h"

using namespace linkrate_cli;

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kCliVersion = LINKRATE_CLI_VERSION;

#ifdef _WIN32
constexpr const char* kExitStatuses =
    "Exit status: 0 every test measured; 1 a test failed or measured nothing "
    "(or the --ticks file could not be written); "
    "2 a usage error; 130 stopped by Ctrl-C or Ctrl-Break, after "
    "printing what was measured. 'serve' exits 0 on either key.\n";
#else
constexpr const char* kExitStatuses =
    "Exit status: 0 every test measured; 1 a test failed or measured nothing "
    "(or the --ticks file could not be written); "
    "2 a usage error; 130 stopped by Ctrl-C (SIGINT), 143 by SIGTERM, after "
    "printing what was measured. 'serve' exits 0 on either signal.\n";
#endif

constexpr const char* kInternetRequests =
    "The server must answer three requests: GET URL/empty (latency), "
    "GET URL/garbage?ckSize=25 (download) and POST URL/empty (upload); "
    "a reply outside 2xx counts nothing. URL begins with http:// or https://.\n";

struct UsageError {
    std::string message;
};

// The output options, accepted before the sub-command and after it.
void add_output_options(CLI::App* command, OutputOptions& out, bool& no_loaded) {
    command->add_flag("--json", out.json,
                      "Print the library's JSON result on stdout, one line and nothing else");
    command->add_flag("--csv", out.csv,
                      "Print one CSV line on stdout: UTC time, target, the seven JSON members "
                      "and the outcome (ok, failed, stopped)");
    command->add_flag("--csv-header", out.csv_header, "Like --csv, with the header line first");
    command->add_flag("--json-all", out.json_all,
                      "Like --json, with the program's loaded-latency figures after the "
                      "library's members (loaded_down_ms, loaded_down_p90_ms, "
                      "loaded_down_probes, loaded_down_lost, the same for up; null where not "
                      "measured)");
    command->add_flag("--csv-all", out.csv_all,
                      "Like --csv, with the eight loaded-latency columns after the usual ones");
    command->add_flag("--csv-all-header", out.csv_all_header,
                      "Like --csv-all, with the header line first");
    command->add_flag("--no-loaded-latency", no_loaded,
                      "Do not probe the latency during the transfers of lan, demo and internet");
    command->add_flag("-q,--quiet", out.quiet,
                      "Nothing on stdout but --json or --csv output, and no progress; errors "
                      "still go to stderr and the exit status tells the outcome");
    command->add_flag("--no-progress", out.no_progress,
                      "No progress display on stderr; the result is printed as usual");
}

Endpoint endpoint_or_throw(const std::string& text) {
    std::string error;
    auto endpoint = parse_endpoint(text, error);
    if (!endpoint) throw UsageError{error};
    return *endpoint;
}

void check_at_least_one(const char* option, int value) {
    if (value < 1) throw UsageError{fmt::format("{} must be 1 or more, not {}", option, value)};
}

// What a failed parse says. Words the program did not take come first, in the
// order they were typed (CLI11 lists them last to first, and reports a
// missing sub-command before an unknown option).
std::string parse_error_text(const CLI::App& app, const CLI::ParseError& error) {
    const std::vector<std::string> extras = app.remaining(true);
    if (extras.empty()) return error.what();
    std::string words;
    for (const std::string& word : extras) words += (words.empty() ? "" : " ") + word;
    return fmt::format("{} not expected: {}",
                       extras.size() == 1 ? "this argument was" : "these arguments were", words);
}

int run_program(int argc, char** argv) {
    // First, so that a signal during the start-up is taken like any other.
    install_interrupt_handler();
    CLI::App app{
        "linkrate: network speed tests on a LAN (against a built-in server) and "
        "across the internet (against an HTTP speed-test server).",
        "linkrate"};
    // Before the sub-commands, which take their parent's formatter.
    app.formatter(std::make_shared<WrappingFormatter>(help_width(stdout_columns())));
    app.set_version_flag("-V,--version",
                         fmt::format("linkrate {} (library {})", kCliVersion, linkrate_version()));
    app.require_subcommand(1);
    app.footer(kExitStatuses);

    OutputOptions out;
    bool no_loaded = false;
    std::string serve_port = std::to_string(kDefaultPort);
    std::string target;
    int count = 5;
    int duration_ms = 2000;
    add_output_options(&app, out, no_loaded);

    auto* serve = app.add_subcommand("serve", "Run the built-in test server until Ctrl-C");
    serve->add_option("--port", serve_port,
                      fmt::format("TCP port, 1 to 65535 (default {})", kDefaultPort));
    serve->add_flag("-q,--quiet", out.quiet, "Print nothing on stdout");

    const auto default_port_note = fmt::format(" (default port {})", kDefaultPort);
    auto* ping = app.add_subcommand("ping", "Latency to a LAN server" + default_port_note);
    ping->add_option("target", target, "HOST[:PORT], an IPv4 address or a host name")->required();
    ping->add_option("--count", count, "Number of pings, 1 or more (default 5)");
    add_output_options(ping, out, no_loaded);

    auto add_transfer = [&](const char* name, const char* what) {
        auto* command = app.add_subcommand(name, what + default_port_note);
        command->add_option("target", target, "HOST[:PORT], an IPv4 address or a host name")
            ->required();
        command->add_option("--duration", duration_ms,
                            "Milliseconds per transfer, 1 or more (default 2000)");
        add_output_options(command, out, no_loaded);
        return command;
    };
    auto* download = add_transfer("download", "Download throughput from a LAN server");
    auto* upload = add_transfer("upload", "Upload throughput to a LAN server");
    auto* lan = add_transfer("lan", "Full LAN test: ping, download and upload");

    auto* internet =
        app.add_subcommand("internet", "Internet test against an HTTP speed-test server");
    internet->add_option("url", target, "Base URL of the server")->required();
    internet
        ->add_option("--ticks", out.ticks_path,
                     "Write every progress report as a JSON line to FILE")
        ->type_name("FILE");
    add_output_options(internet, out, no_loaded);
    internet->footer(kInternetRequests);

    auto* demo = app.add_subcommand(
        "demo", "Start the built-in server on a free loopback port and run the full LAN test");
    demo->add_option("--duration", duration_ms,
                     "Milliseconds per transfer, 1 or more (default 2000)");
    add_output_options(demo, out, no_loaded);

    if (argc < 2) {
        std::fputs(app.help().c_str(), stderr);
        return kExitUsage;
    }
    // The first word that is not an option names the sub-command.
    if (argv[1][0] != '-' &&
        app.get_subcommands([&](const CLI::App* c) { return c->check_name(argv[1]); }).empty()) {
        fmt::print(stderr, "linkrate: unknown sub-command '{}'\nRun 'linkrate --help' for usage.\n",
                   argv[1]);
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        fmt::print(stderr, "linkrate: {}\nRun 'linkrate --help' for usage.\n",
                   parse_error_text(app, e));
        return kExitUsage;
    }

    try {
        if (out.csv_header) out.csv = true;
        if (out.csv_all_header) out.csv_all = true;
        out.loaded = !no_loaded;
        if (int(out.json) + int(out.csv) + int(out.json_all) + int(out.csv_all) > 1) {
            throw UsageError{"--json, --csv, --json-all and --csv-all exclude each other"};
        }
        if (serve->parsed()) {
            if (out.for_scripts()) {
                throw UsageError{"serve prints no results: --json and --csv are for the tests"};
            }
            auto port = parse_port(serve_port);
            if (!port) {
                throw UsageError{"port must be a number from 1 to 65535, not '" + serve_port + "'"};
            }
            set_interrupt_mode(InterruptMode::serve, !out.quiet);
            return run_serve(*port, out);
        }
        if (ping->parsed()) check_at_least_one("--count", count);
        if (!ping->parsed() && !internet->parsed()) check_at_least_one("--duration", duration_ms);
        if (internet->parsed() && target.empty()) throw UsageError{"the URL is empty"};
        if (internet->parsed() && !is_http_url(target)) {
            throw UsageError{"the URL must begin with http:// or https://, not '" + target + "'"};
        }
        Endpoint endpoint;
        if (!internet->parsed() && !demo->parsed()) endpoint = endpoint_or_throw(target);

        set_interrupt_mode(InterruptMode::test, !out.quiet);
        if (ping->parsed()) return run_lan(LanTest::ping, endpoint, count, out);
        if (download->parsed()) return run_lan(LanTest::download, endpoint, duration_ms, out);
        if (upload->parsed()) return run_lan(LanTest::upload, endpoint, duration_ms, out);
        if (lan->parsed()) return run_lan(LanTest::full, endpoint, duration_ms, out);
        if (internet->parsed()) return run_internet(target, out);
        if (demo->parsed()) return run_demo(duration_ms, out);
    } catch (const UsageError& e) {
        fmt::print(stderr, "linkrate: {}\nRun 'linkrate --help' for usage.\n", e.message);
        return kExitUsage;
    }
    return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run_program(argc, argv);
    } catch (const std::exception& e) {
        // Out of memory, or output that could not be written: said, not aborted.
        std::fprintf(stderr, "linkrate: %s\n", e.what());
        return 1;
    }
}
