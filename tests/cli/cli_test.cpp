// The linkrate program as a user runs it: exit statuses, output, signals.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// The linkrate program, started with `args`.
class Program : public linkrate::test::ChildProcess {
public:
    explicit Program(const std::vector<std::string>& args)
        : ChildProcess(LINKRATE_CLI_PATH, args) {}
};

struct Finished {
    int status;
    std::string out, err;
};

Finished run(const std::vector<std::string>& args) {
    Program program(args);
    int status = program.wait();
    return {status, program.out(), program.err()};
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
        return linkrate::test::eventually(
            [&] { return program.out().find("Serving") != std::string::npos; }, 5000);
    }
};

}  // namespace

TEST(Cli, UsageErrorsExitTwoWithAMessage) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{}, "A subcommand is required"},
        {{"frob"}, "unknown sub-command 'frob'"},
        {{"ping"}, "target is required"},
        {{"internet"}, "url is required"},
        {{"ping", ":80"}, "missing host"},
        {{"download", "example:http"}, "not 'http'"},
        {{"upload", "example:70000"}, "not '70000'"},
        {{"serve", "--port", "0"}, "not '0'"},
        {{"serve", "--port", "x1"}, "not 'x1'"},
        {{"lan", "host", "--duration", "abc"}, "duration"},
    };
    for (const auto& c : cases) {
        Finished f = run(c.args);
        EXPECT_EQ(f.status, 2) << c.message;
        EXPECT_NE(f.err.find(c.message), std::string::npos) << f.err;
        EXPECT_EQ(f.out, "") << c.message;
    }
}

TEST(Cli, VersionNamesProgramAndLibrary) {
    Finished f = run({"--version"});
    EXPECT_EQ(f.status, 0);
    const std::string version = linkrate::test::version_from_macros();
    EXPECT_EQ(f.out, "linkrate " + version + " (library " + version + ")\n");
}

TEST(Cli, DemoPrintsACompleteResult) {
    Finished f = run({"demo", "--duration", "300"});
    ASSERT_EQ(f.status, 0) << f.err;
    for (const char* row : {"Server", "127.0.0.1:", "Latency", "Download", "Upload", "Duration",
                            "Mbit/s", "300 ms"}) {
        EXPECT_NE(f.out.find(row), std::string::npos) << row << "\n" << f.out;
    }
    EXPECT_EQ(f.err.find('\033'), std::string::npos) << "no escape codes when not a terminal";
}

TEST(Cli, JsonIsTheLibraryTextOnOneLine) {
    Finished f = run({"demo", "--duration", "200", "--json"});
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

TEST(Cli, FailedTestPrintsJsonAndMessage) {
    const std::string target = "127.0.0.1:" + std::to_string(linkrate::test::free_port());
    Finished f = run({"ping", target, "--count", "2", "--json"});
    EXPECT_EQ(f.status, 1);
    EXPECT_NE(f.err.find("No pings succeeded"), std::string::npos) << f.err;
    EXPECT_TRUE(nlohmann::json::accept(f.out)) << f.out;
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
    Program download(
        {"download", "127.0.0.1:" + std::to_string(server.port), "--duration", "20000"});
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
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
