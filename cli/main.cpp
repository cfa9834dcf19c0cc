// linkrate: the command-line host of the tarnwell-linkrate library.
#include <fmt/format.h>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "endpoint.h"
#include "interrupt.h"
#include "tarnwell/linkrate.h"

using namespace linkrate_cli;

namespace {

constexpr int kExitUsage = 2;
constexpr const char* kCliVersion = LINKRATE_CLI_VERSION;

struct UsageError {
    std::string message;
};

void add_output_options(CLI::App* command, OutputOptions& out) {
    command->add_flag("--json", out.json,
                      "Print the library's JSON result on stdout, one line and nothing else");
    command
        ->add_option("--ticks", out.ticks_path,
                     "Write every progress report as a JSON line to FILE")
        ->type_name("FILE");
}

Endpoint endpoint_or_throw(const std::string& text) {
    std::string error;
    auto endpoint = parse_endpoint(text, error);
    if (!endpoint) throw UsageError{error};
    return *endpoint;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "linkrate: network speed tests on a LAN (against a built-in server) and "
        "across the internet (against an HTTP speed-test server)."};
    app.set_version_flag("--version",
                         fmt::format("linkrate {} (library {})", kCliVersion, linkrate_version()));
    app.require_subcommand(1);

    OutputOptions out;
    std::string serve_port = std::to_string(kDefaultPort);
    std::string target;
    int count = 5;
    int duration_ms = 2000;

    auto* serve = app.add_subcommand("serve", "Run the built-in test server until Ctrl-C");
    serve->add_option("--port", serve_port,
                      fmt::format("TCP port, 1 to 65535 (default {})", kDefaultPort));

    const auto default_port_note = fmt::format(" (default port {})", kDefaultPort);
    auto* ping = app.add_subcommand("ping", "Latency to a LAN server" + default_port_note);
    ping->add_option("target", target, "HOST[:PORT]")->required();
    ping->add_option("--count", count, "Number of pings (default 5)");
    add_output_options(ping, out);

    auto add_transfer = [&](const char* name, const char* what) {
        auto* command = app.add_subcommand(name, what + default_port_note);
        command->add_option("target", target, "HOST[:PORT]")->required();
        command->add_option("--duration", duration_ms, "Milliseconds per transfer (default 2000)");
        add_output_options(command, out);
        return command;
    };
    auto* download = add_transfer("download", "Download throughput from a LAN server");
    auto* upload = add_transfer("upload", "Upload throughput to a LAN server");
    auto* lan = add_transfer("lan", "Full LAN test: ping, download and upload");

    auto* internet =
        app.add_subcommand("internet", "Internet test against an HTTP speed-test server");
    internet->add_option("url", target, "Base URL of the server")->required();
    add_output_options(internet, out);

    auto* demo = app.add_subcommand(
        "demo", "Start the built-in server on a free loopback port and run the full LAN test");
    demo->add_option("--duration", duration_ms, "Milliseconds per transfer (default 2000)");
    add_output_options(demo, out);

    // The first word that is not an option names the sub-command.
    if (argc > 1 && argv[1][0] != '-' &&
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
        fmt::print(stderr, "linkrate: {}\nRun 'linkrate --help' for usage.\n", e.what());
        return kExitUsage;
    }

    try {
        install_interrupt_handler();
        if (serve->parsed()) {
            auto port = parse_port(serve_port);
            if (!port) {
                throw UsageError{"port must be a number from 1 to 65535, not '" + serve_port + "'"};
            }
            return run_serve(*port);
        }
        if (ping->parsed()) return run_lan(LanTest::ping, endpoint_or_throw(target), count, out);
        if (download->parsed()) {
            return run_lan(LanTest::download, endpoint_or_throw(target), duration_ms, out);
        }
        if (upload->parsed()) {
            return run_lan(LanTest::upload, endpoint_or_throw(target), duration_ms, out);
        }
        if (lan->parsed())
            return run_lan(LanTest::full, endpoint_or_throw(target), duration_ms, out);
        if (internet->parsed()) return run_internet(target, out);
        if (demo->parsed()) return run_demo(duration_ms, out);
    } catch (const UsageError& e) {
        fmt::print(stderr, "linkrate: {}\nRun 'linkrate --help' for usage.\n", e.message);
        return kExitUsage;
    }
    return kExitUsage;
}
