// The linkrate program as a user runs it: exit statuses, output, signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "program.h"
#include "raw_socket.h"
#include "scripted_server.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using linkrate::test::eventually;
using linkrate::test::Finished;
using linkrate::test::Program;
using linkrate::test::RawConn;
using linkrate::test::RecordedRequest;
using linkrate::test::Reply;
using linkrate::test::ScriptedPeer;
using linkrate::test::ScriptedServer;

Finished run(const std::vector<std::string>& args) { return linkrate::test::run_program(args); }

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool port_is_free(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    bool free = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return free;
}

// `linkrate serve` on a free port, ready once it said so.
struct Server {
    int port = linkrate::test::free_port();
    Program program{{"serve", "--port", std::to_string(port)}};

    bool ready() {
        return eventually([&] { return contains(program.out(), "Serving"); }, 5000);
    }
};

// A LAN peer that speaks the protocol by hand: it answers a ping after
// `ping_delay_ms` and then either streams and swallows data until the client
// closes, or closes downloads and uploads at once. It counts the commands.
class LanPeer {
public:
    LanPeer(int ping_delay_ms, bool transfers)
        : peer_([this, ping_delay_ms, transfers](RawConn& conn) {
              const std::string command = conn.read_up_to(1);
              if (command == "P") {
                  ++pings_;
                  std::this_thread::sleep_for(std::chrono::milliseconds(ping_delay_ms));
                  conn.send_byte('P');
              } else if (command == "D") {
                  ++downloads_;
                  while (transfers && conn.send_fill(0x5A, 1 << 16)) {
                  }
              } else if (command == "U") {
                  ++uploads_;
                  bool closed = false;
                  if (transfers) conn.read_to_end(&closed);
              }
          }) {}

    std::string target() const { return "127.0.0.1:" + std::to_string(peer_.port()); }
    int pings() const { return pings_.load(); }
    int downloads() const { return downloads_.load(); }
    int uploads() const { return uploads_.load(); }

private:
    std::atomic<int> pings_{0}, downloads_{0}, uploads_{0};
    ScriptedPeer peer_;
};

// The table row for `label`, as printed ("  Download  12.3 Mbit/s").
std::string row(const std::string& out, const std::string& label) {
    std::smatch m;
    std::regex line("(^|\n)  " + label + " +([^\n]*)");
    return std::regex_search(out, m, line) ? m[2].str() : "<no row>";
}

// An HTTP speed-test server on loopback: latency replies after `latency_ms`,
// downloads of `download_bytes`, uploads read to the end.
Reply speed_test_reply(const RecordedRequest& r, int latency_ms, std::uint64_t download_bytes) {
    Reply reply;
    if (r.target.rfind("/garbage", 0) == 0) reply.body_bytes = download_bytes;
    if (r.method == "GET" && r.target.rfind("/empty", 0) == 0) reply.delay_ms = latency_ms;
    return reply;
}

bool saw_head(const ScriptedServer& server, const std::string& prefix) {
    for (const auto& head : server.heads()) {
        if (head.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

}  // namespace

TEST(Cli, UsageErrorsExitTwoWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"frob"}, "unknown sub-command 'frob'"},
        {{"ping"}, "target is required"},
        {{"internet"}, "url is required"},
        {{"internet", ""}, "URL is empty"},
        {{"internet", "ftp://127.0.0.1/"}, "must begin with http:// or https://"},
        {{"internet", "not-a-url"}, "must begin with http:// or https://"},
        {{"ping", ":80"}, "missing host"},
        {{"download", "example:http"}, "not 'http'"},
        {{"upload", "example:70000"}, "not '70000'"},
        {{"serve", "--port", "0"}, "not '0'"},
        {{"serve", "--port", "x1"}, "not 'x1'"},
        {{"lan", "host", "--duration", "abc"}, "duration"},
        {{"lan", "host", "--duration", "0"}, "--duration must be 1 or more"},
        {{"demo", "--duration", "-5"}, "--duration must be 1 or more"},
        {{"ping", "host", "--count", "0"}, "--count must be 1 or more"},
        {{"lan", "[::1]:7878"}, "IPv4 only"},
        {{"ping", "fe80::1"}, "IPv4 only"},
        {{"lan", "host", "--ticks", "t.jsonl"}, "--ticks"},
        {{"demo", "--json", "--csv"}, "exclude each other"},
        {{"--csv-header", "lan", "host", "--json"}, "exclude each other"},
        {{"serve", "--json"}, "--json"},
        // Words the program did not take, in the order they were typed.
        {{"-t", "10"}, "these arguments were not expected: -t 10"},
        {{"ping", "host", "a", "b", "c"}, "these arguments were not expected: a b c"},
        {{"demo", "--bogus"}, "this argument was not expected: --bogus"},
    };
    for (const auto& c : cases) {
        Finished f = run(c.args);
        EXPECT_EQ(f.status, 2) << c.message;
        EXPECT_TRUE(contains(f.err, c.message)) << c.message << ": " << f.err;
        EXPECT_EQ(f.out, "") << c.message;
    }
}

TEST(Cli, NoArgumentsPrintTheWholeHelpOnStderr) {
    Finished bare = run({});
    Finished help = run({"--help"});
    EXPECT_EQ(bare.status, 2);
    EXPECT_EQ(bare.out, "");
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(bare.err, help.out);
}

// Every help text fits an 80-column terminal: no line reaches the last
// column, where a terminal would break it inside a word.
TEST(Cli, HelpFitsEightyColumns) {
    for (const char* command :
         {"", "serve", "ping", "download", "upload", "lan", "internet", "demo"}) {
        std::vector<std::string> args;
        if (*command != '\0') args.emplace_back(command);
        args.emplace_back("--help");
        Finished f = run(args);
        ASSERT_EQ(f.status, 0) << command;
        std::istringstream lines(f.out);
        std::string line;
        while (std::getline(lines, line)) {
            EXPECT_LE(line.size(), 79u) << command << ": " << line;
        }
    }
}

TEST(Cli, VersionNamesProgramAndLibrary) {
    const std::string version = linkrate::test::version_from_macros();
    for (const char* flag : {"--version", "-V"}) {
        Finished f = run({flag});
        EXPECT_EQ(f.status, 0) << flag << ": " << f.err;
        EXPECT_EQ(f.out, "linkrate " + version + " (library " + version + ")\n") << flag;
    }
}

TEST(Cli, DemoPrintsACompleteResult) {
    Finished f = run({"demo", "--duration", "300"});
    ASSERT_EQ(f.status, 0) << f.err;
    for (const char* label : {"Latency", "Download", "Upload"}) {
        EXPECT_TRUE(std::regex_match(row(f.out, label), std::regex("[0-9.]+ (ms( idle)?|Mbit/s)")))
            << label << "\n"
            << f.out;
    }
    EXPECT_TRUE(contains(row(f.out, "Server"), "127.0.0.1:")) << f.out;
    EXPECT_EQ(row(f.out, "Duration"), "300 ms (requested)");
    EXPECT_EQ(f.err.find('\033'), std::string::npos) << "no escape codes when not a terminal";
}

TEST(Cli, JsonIsTheLibraryTextOnOneLineBeforeOrAfterTheCommand) {
    for (const auto& args : {std::vector<std::string>{"demo", "--duration", "200", "--json"},
                             std::vector<std::string>{"--json", "demo", "--duration", "200"}}) {
        Finished f = run(args);
        ASSERT_EQ(f.status, 0) << f.err;
        ASSERT_EQ(f.out.find('\n'), f.out.size() - 1) << f.out;
        auto doc = nlohmann::ordered_json::parse(f.out);
        std::vector<std::string> keys;
        for (auto it = doc.begin(); it != doc.end(); ++it) keys.push_back(it.key());
        EXPECT_EQ(keys, (std::vector<std::string>{"ping_ms", "download_mbps", "upload_mbps",
                                                  "duration_ms", "jitter_ms", "server", "phase"}));
        EXPECT_EQ(doc["phase"], "complete");
        EXPECT_EQ(doc["duration_ms"], 200);
        EXPECT_GT(doc["download_mbps"].get<double>(), 0.0);
        EXPECT_GT(doc["upload_mbps"].get<double>(), 0.0);
    }
}

// The latency during the transfers, on the program's own connections: in the
// table beside the idle figure, and with --json-all after the library's
// members, which --json keeps to itself.
TEST(Cli, LoadedLatencyIsProbedDuringTheTransfers) {
    const std::vector<std::string> library_keys = {
        "ping_ms", "download_mbps", "upload_mbps", "duration_ms", "jitter_ms", "server", "phase"};
    const auto keys_of = [](const nlohmann::ordered_json& doc) {
        std::vector<std::string> keys;
        for (auto it = doc.begin(); it != doc.end(); ++it) keys.push_back(it.key());
        return keys;
    };

    Finished lan = run({"demo", "--duration", "1000", "--json-all"});
    ASSERT_EQ(lan.status, 0) << lan.err;
    auto doc = nlohmann::ordered_json::parse(lan.out);
    std::vector<std::string> keys = keys_of(doc);
    ASSERT_EQ(keys.size(), 15u) << lan.out;
    EXPECT_EQ(std::vector<std::string>(keys.begin(), keys.begin() + 7), library_keys);
    for (const char* d : {"down", "up"}) {
        const std::string at = std::string("loaded_") + d;
        EXPECT_GE(doc[at + "_probes"].get<int>(), 5) << lan.out;
        EXPECT_GT(doc[at + "_ms"].get<double>(), 0.0) << lan.out;
        EXPECT_GE(doc[at + "_p90_ms"].get<double>(), doc[at + "_ms"].get<double>()) << lan.out;
    }

    // An internet server whose latency replies take 40 ms: the loaded figures
    // are its delay, measured only while a transfer ran.
    ScriptedServer http([](const RecordedRequest& r) { return speed_test_reply(r, 40, 4 << 20); });
    Finished internet = run({"internet", http.base(), "--json-all"});
    ASSERT_EQ(internet.status, 0) << internet.err;
    doc = nlohmann::ordered_json::parse(internet.out);
    for (const char* d : {"down", "up"}) {
        const std::string at = std::string("loaded_") + d;
        EXPECT_GE(doc[at + "_probes"].get<int>(), 10) << internet.out;
        EXPECT_EQ(doc[at + "_lost"].get<int>(), 0) << internet.out;
        EXPECT_GE(doc[at + "_ms"].get<double>(), 39.0) << internet.out;
        EXPECT_LT(doc[at + "_ms"].get<double>(), 120.0) << internet.out;
    }
    bool transfer_seen = false;
    for (const std::string& head : http.heads()) {
        if (head.rfind("GET /garbage", 0) == 0) transfer_seen = true;
        if (head.rfind("GET /empty?t=p", 0) == 0) {
            EXPECT_TRUE(transfer_seen) << "a probe before the download: " << head;
        }
    }

    Finished table = run({"demo", "--duration", "500", "--no-progress"});
    ASSERT_EQ(table.status, 0) << table.err;
    EXPECT_TRUE(std::regex_match(row(table.out, "Latency"), std::regex("[0-9.]+ ms idle")))
        << table.out;
    EXPECT_TRUE(std::regex_match(
        row(table.out, "Loaded"),
        std::regex("[0-9.]+ ms down \\(p90 [0-9.]+\\), [0-9.]+ ms up \\(p90 [0-9.]+\\)")))
        << table.out;
    Finished off = run({"demo", "--duration", "300", "--no-loaded-latency", "--no-progress"});
    ASSERT_EQ(off.status, 0) << off.err;
    EXPECT_EQ(row(off.out, "Loaded"), "<no row>") << off.out;
    EXPECT_TRUE(std::regex_match(row(off.out, "Latency"), std::regex("[0-9.]+ ms"))) << off.out;

    for (const auto& pair : {std::vector<std::string>{"--json", "--json-all"},
                             std::vector<std::string>{"--csv", "--csv-all-header"}}) {
        Finished both = run({"demo", pair[0], pair[1]});
        EXPECT_EQ(both.status, 2) << pair[0] << " " << pair[1];
        EXPECT_NE(both.err.find("exclude each other"), std::string::npos) << both.err;
    }
}

TEST(Cli, CsvLogsOneLinePerRunAndQuietPrintsNothingElse) {
    Finished f = run({"demo", "--duration", "100", "--csv-header", "--quiet"});
    ASSERT_EQ(f.status, 0) << f.err;
    const std::string header =
        "time,target,ping_ms,download_mbps,upload_mbps,duration_ms,jitter_ms,server,phase,outcome"
        "\r\n";
    ASSERT_EQ(f.out.substr(0, header.size()), header);
    const std::string line = f.out.substr(header.size());
    EXPECT_TRUE(std::regex_match(
        line, std::regex("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ,(127\\.0\\.0\\.1:\\d+),"
                         "[0-9.e-]+,[0-9.e-]+,[0-9.e-]+,100,0\\.0,\\1,complete,ok\r\n")))
        << line;

    Finished quiet = run({"demo", "--duration", "100", "-q"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.out, "");
    EXPECT_EQ(quiet.err, "");
}

// The library counts a transfer that moved nothing as a result (0.0); the
// program counts it as a failure, names it, and says where.
TEST(Cli, FailuresAreNamedAndExitOne) {
    LanPeer closing(0, /*transfers=*/false);
    const std::string lan = closing.target();
    const std::string refused = "127.0.0.1:" + std::to_string(linkrate::test::free_port());
    ScriptedServer empty_downloads(
        [](const RecordedRequest& r) { return speed_test_reply(r, 0, 0); });
    ASSERT_TRUE(empty_downloads.ok());
    const std::string url = empty_downloads.base();

    struct Case {
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> rows;  // label, text
        std::vector<std::string> errors;
    } cases[] = {
        // The upload to that peer is left out: the peer's system may
        // acknowledge the first bytes before the peer closes, and the library
        // counts what was acknowledged.
        {{"lan", lan, "--duration", "200"},
         {{"Download", "failed"}},
         {"download from " + lan + ": nothing received"}},
        {{"upload", refused, "--duration", "200"},
         {{"Upload", "failed"}},
         {"upload to " + refused + ": Connect to host failed"}},
        {{"download", refused, "--duration", "200"},
         {{"Download", "failed"}},
         {"download from " + refused + ": Connect to host failed"}},
        {{"ping", refused, "--count", "2"},
         {{"Latency", "failed"}},
         {"ping " + refused + ": No pings succeeded"}},
        {{"internet", url},
         {{"Download", "failed"}, {"Duration", "6"}},
         {"download from " + url + ": nothing received"}},
    };
    for (const auto& c : cases) {
        Finished f = run(c.args);
        const std::string what = c.args[0] + " " + c.args[1];
        EXPECT_EQ(f.status, 1) << what << "\n" << f.out << f.err;
        for (const auto& [label, text] : c.rows) {
            EXPECT_EQ(row(f.out, label).substr(0, text.size()), text) << what << "\n" << f.out;
        }
        for (const auto& error : c.errors) {
            // What the program found out may follow in parentheses.
            EXPECT_TRUE(contains(f.err, "linkrate: " + error)) << what << "\n" << f.err;
        }
    }
    EXPECT_TRUE(std::regex_match(row(run({"lan", lan, "--duration", "100"}).out, "Latency"),
                                 std::regex("[0-9.]+ ms")))
        << "the ping that worked keeps its figure";

    // The JSON text stays the library's, which counts 0.0 as a result, and
    // the CSV line carries the program's verdict.
    Finished json = run({"lan", lan, "--duration", "100", "--json"});
    EXPECT_EQ(json.status, 1);
    EXPECT_EQ(nlohmann::json::parse(json.out)["phase"], "complete");
    Finished csv = run({"lan", lan, "--duration", "100", "--csv"});
    EXPECT_EQ(csv.status, 1);
    EXPECT_TRUE(contains(csv.out, ",complete,failed\r\n")) << csv.out;
}

// A ticks file that cannot be written costs the ticks, not the run: one
// warning, the whole result, and exit status 1 for what is missing.
TEST(Cli, TicksThatCannotBeWrittenLeaveTheRunWhole) {
    ScriptedServer http([](const RecordedRequest& r) { return speed_test_reply(r, 0, 1 << 20); });
    ASSERT_TRUE(http.ok());
    Finished f = run({"internet", http.base(), "--ticks", "/dev/full"});
    EXPECT_EQ(f.status, 1) << f.err;
    const std::string warning = "linkrate: cannot write ticks file '/dev/full': ";
    EXPECT_TRUE(contains(f.err, warning)) << f.err;
    EXPECT_EQ(f.err.find(warning), f.err.rfind(warning)) << "warned once\n" << f.err;
    EXPECT_TRUE(std::regex_match(row(f.out, "Upload"), std::regex("[0-9.]+ Mbit/s"))) << f.out;
    EXPECT_TRUE(std::regex_match(row(f.out, "Duration"), std::regex("[0-9]+ ms"))) << f.out;
}

// After a failed test the program looks at the target itself and says what
// it found on the failure line, beside the library's message.
TEST(Cli, FailuresSayWhatTheProgramFoundOut) {
    const std::string refused = "127.0.0.1:" + std::to_string(linkrate::test::free_port());
    ScriptedPeer wrong_echo([](RawConn& conn) {
        if (conn.read_up_to(1) == "P") conn.send_byte('X');
    });
    const std::string not_linkrate = "127.0.0.1:" + std::to_string(wrong_echo.port());
    ScriptedServer not_found(
        [](const RecordedRequest&) { return Reply{Reply::Kind::respond, 404, 150, 0, 0, false}; });
    ScriptedServer moved([](const RecordedRequest& r) {
        Reply reply{Reply::Kind::respond, 301, 0, 0, 0, false};
        reply.location = "https://elsewhere.test/backend" + r.target;
        return reply;
    });
    ASSERT_TRUE(not_found.ok() && moved.ok());
    const std::string wrong_path = not_found.base() + "/nope/";

    struct Case {
        std::vector<std::string> args;
        std::string line;  // the whole failure line
    } cases[] = {
        {{"ping", refused, "--count", "1"},
         "ping " + refused + ": No pings succeeded (connection refused by " + refused + ")"},
        {{"ping", not_linkrate, "--count", "1"},
         "ping " + not_linkrate +
             ": No pings succeeded (accepts connections but did not answer the ping: is it a "
             "linkrate server?)"},
        {{"internet", "http://" + refused},
         "latency to http://" + refused + ": Ping failed against server (connection refused by " +
             refused + ")"},
        {{"internet", wrong_path},
         "download from " + wrong_path + ": nothing received (the server answered 404 to GET " +
             not_found.base() + "/nope/garbage: check the base URL)"},
        {{"internet", moved.base()},
         "download from " + moved.base() +
             ": nothing received (redirected to https://elsewhere.test/backend: use that URL)"},
    };
    for (const auto& c : cases) {
        Finished f = run(c.args);
        EXPECT_EQ(f.status, 1) << c.line << "\n" << f.out;
        EXPECT_TRUE(contains(f.err, "linkrate: " + c.line + "\n")) << f.err;
    }

    // A second server on a port that one already serves.
    Server first;
    ASSERT_TRUE(first.ready()) << first.program.err();
    Finished second = run({"serve", "--port", std::to_string(first.port)});
    EXPECT_EQ(second.status, 1);
    EXPECT_TRUE(contains(second.err,
                         "(port " + std::to_string(first.port) + " is in use by another program)"))
        << second.err;
    first.program.signal(SIGTERM);
    EXPECT_EQ(first.program.wait(5000), 0);
}

TEST(Cli, ServeAndTestInTwoProcesses) {
    Server server;
    ASSERT_TRUE(server.ready()) << server.program.err();
    const std::string target = "127.0.0.1:" + std::to_string(server.port);
    Finished lan = run({"lan", target, "--duration", "300", "--json"});
    EXPECT_EQ(lan.status, 0) << lan.err;
    EXPECT_NE(lan.out.find("\"server\":\"" + target + "\""), std::string::npos) << lan.out;

    server.program.signal(SIGTERM);
    EXPECT_EQ(server.program.wait(5000), 0);
    EXPECT_TRUE(port_is_free(server.port));
}

TEST(Cli, InterruptShowsResultsSoFar) {
    Server server;
    ASSERT_TRUE(server.ready()) << server.program.err();
    LanPeer streaming(0, /*transfers=*/true);
    Program download({"download", streaming.target(), "--duration", "20000"});
    ASSERT_TRUE(eventually([&] { return streaming.downloads() > 0; }, 10000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = Clock::now();
    download.signal(SIGINT);
    EXPECT_EQ(download.wait(5000), 130);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_NE(download.err().find("interrupted"), std::string::npos);
    EXPECT_NE(download.out().find("Mbit/s"), std::string::npos) << download.out();

    server.program.signal(SIGINT);
    EXPECT_EQ(server.program.wait(5000), 0);
    EXPECT_TRUE(port_is_free(server.port)) << "no listening socket is left behind";
}

// A signal during each phase of a full run: the run stops within a moment,
// the phase under way reads "stopped", and no later phase shows a figure.
TEST(Cli, SignalDuringEachPhaseShowsOnlyReachedRows) {
    LanPeer peer(300, /*transfers=*/true);
    ScriptedServer http([](const RecordedRequest& r) { return speed_test_reply(r, 300, 1 << 20); });
    ASSERT_TRUE(http.ok());
    const std::string kFigure = "[0-9.]+ (ms|Mbit/s)";
    // A latency measured before a transfer that the probes watched.
    const std::string kIdle = "[0-9.]+ ms( idle)?";

    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<bool()> phase_began;
        int signal;
        std::vector<std::pair<std::string, std::string>> rows;  // label, pattern of its text
    } cases[] = {
        {"lan ping",
         {"lan", peer.target(), "--duration", "20000"},
         [&] { return peer.pings() > 0; },
         SIGINT,
         {{"Latency", "stopped|" + kFigure},
          {"Download", "not measured"},
          {"Upload", "not measured"}}},
        {"lan download",
         {"lan", peer.target(), "--duration", "20000"},
         [&] { return peer.downloads() > 0; },
         SIGINT,
         {{"Latency", kIdle}, {"Download", "stopped.*"}, {"Upload", "not measured"}}},
        {"lan upload",
         {"lan", peer.target(), "--duration", "1000"},
         [&] { return peer.uploads() > 0; },
         SIGTERM,
         {{"Latency", kIdle}, {"Download", kFigure}, {"Upload", "stopped.*"}}},
        {"internet latency",
         {"internet", http.base()},
         [&] { return saw_head(http, "GET /empty"); },
         SIGINT,
         {{"Latency", "stopped"},
          {"Jitter", "stopped"},
          {"Download", "not measured"},
          {"Upload", "not measured"},
          {"Duration", "not measured"}}},
        {"internet download",
         {"internet", http.base()},
         [&] { return saw_head(http, "GET /garbage"); },
         SIGINT,
         {{"Jitter", kFigure},
          {"Download", "stopped \\([0-9.]+ Mbit/s so far\\)"},
          {"Upload", "not measured"},
          {"Duration", "not measured"}}},
        {"internet upload",
         {"internet", http.base()},
         [&] { return saw_head(http, "POST /empty"); },
         SIGTERM,
         {{"Download", kFigure},
          {"Upload", "stopped \\([0-9.]+ Mbit/s so far\\)"},
          {"Duration", "not measured"}}},
    };
    for (const auto& c : cases) {
        Program program(c.args);
        ASSERT_TRUE(eventually(c.phase_began, 15000)) << c.name;
        // Long enough for a phase's first tick, which comes 0.1 s after its start.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto signalled = Clock::now();
        program.signal(c.signal);
        EXPECT_EQ(program.wait(10000), 128 + c.signal) << c.name << "\n" << program.err();
        EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(3500)) << c.name;
        const std::string out = program.out();
        for (const auto& [label, text] : c.rows) {
            EXPECT_TRUE(std::regex_match(row(out, label), std::regex(text)))
                << c.name << ": " << label << "\n"
                << out;
        }
        EXPECT_TRUE(contains(program.err(), "interrupted")) << c.name;
    }
}

// The first Ctrl-C waits for the test to reach its next check, which a peer
// that never answers delays until a socket time-out; the second one does not.
TEST(Cli, SecondInterruptExitsAtOnce) {
    ScriptedPeer silent([](RawConn& conn) {
        bool closed = false;
        conn.read_to_end(&closed);
    });
    Program program({"ping", "127.0.0.1:" + std::to_string(silent.port()), "--count", "3"});
    ASSERT_TRUE(eventually([&] { return silent.connections() > 0; }, 5000));
    program.signal(SIGINT);
    EXPECT_EQ(program.wait(300), -1) << "the ping waits for its reply";
    const auto signalled = Clock::now();
    program.signal(SIGINT);
    EXPECT_EQ(program.wait(3000), 130);
    // Well before the 5 s the ping would wait for its reply (a sanitizer's
    // exit takes a second of its own).
    EXPECT_LT(Clock::now() - signalled, std::chrono::milliseconds(2500));
}
