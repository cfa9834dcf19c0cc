// The progress display in a real terminal: tmux at 80x24 runs the program,
// and its screen, captured while the tests run and after, must hold no line
// that wrapped and no leftover of an earlier redraw.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "scripted_server.h"
#include "test_support.h"

namespace {

using linkrate::test::RecordedRequest;
using linkrate::test::Reply;
using linkrate::test::ScriptedServer;

// Output of a shell command.
std::string capture(const std::string& command) {
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    std::string text;
    std::array<char, 4096> buffer{};
    while (pipe && std::fgets(buffer.data(), buffer.size(), pipe.get()) != nullptr) {
        text += buffer.data();
    }
    return text;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A tmux server of this test's own, with one 80x24 window.
class Tmux {
public:
    explicit Tmux(const std::string& command)
        : socket_("linkrate-cli-test-" + std::to_string(getpid())) {
        std::system((tmux() + " new-session -d -x 80 -y 24 '" + command + "'").c_str());
    }
    ~Tmux() { std::system((tmux() + " kill-server 2>/dev/null").c_str()); }

    // The screen, with wrapped lines joined back into one (-J), so that a
    // line wider than the window shows as one line longer than 80.
    std::string screen() const { return capture(tmux() + " capture-pane -p -J -t 0 2>/dev/null"); }

private:
    std::string tmux() const { return "tmux -L " + socket_ + " -f /dev/null"; }
    std::string socket_;
};

// What may appear on the screen at any moment: the command line, the final
// line of each finished phase, one live line, the table, the exit status.
void check_screen(const std::string& screen) {
    const std::regex bar_line("  (Latency|Download|Upload) +\\[[#.]{20}\\] +[0-9]+%.*");
    int live_lines = 0;
    for (const std::string& line : lines_of(screen)) {
        EXPECT_LT(line.size(), 80u) << "wrapped or too wide:\n" << screen;
        EXPECT_EQ(line.find('\033'), std::string::npos) << screen;
        // One bar per line: a redraw that did not clear would leave two.
        EXPECT_LE(std::count(line.begin(), line.end(), '['), 1) << screen;
        if (std::regex_match(line, bar_line) && line.find("100%") == std::string::npos) {
            ++live_lines;
        }
    }
    EXPECT_LE(live_lines, 1) << "a live line was left behind:\n" << screen;
}

}  // namespace

TEST(Terminal, ProgressFitsEightyColumnsAndLeavesNothingStale) {
    if (std::system("command -v tmux >/dev/null 2>&1") != 0) {
        const char* ci = std::getenv("CI");
        if (ci != nullptr && std::string(ci) == "true") FAIL() << "tmux is missing under CI";
        GTEST_SKIP() << "tmux is not installed (scripts/setup.sh installs it)";
    }
    // Latency replies slow enough to watch; downloads of 1 MiB.
    ScriptedServer http([](const RecordedRequest& r) {
        Reply reply;
        if (r.target.rfind("/garbage", 0) == 0) reply.body_bytes = 1 << 20;
        if (r.method == "GET" && r.target.rfind("/empty", 0) == 0) reply.delay_ms = 150;
        return reply;
    });
    ASSERT_TRUE(http.ok());
    const std::string program = LINKRATE_CLI_PATH;
    Tmux tmux(program + " demo --duration 1500; " + program + " internet " + http.base() +
              "; echo exit=$?; sleep 60");

    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    while (screen.find("exit=") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        screen = tmux.screen();
        check_screen(screen);
    }
    ASSERT_NE(screen.find("exit=0"), std::string::npos) << screen;
    // Each finished phase of both runs left its 100 % line with its figure.
    const std::regex final_line(
        "  (Latency|Download|Upload) +\\[#{20}\\] 100%  [0-9.]+ (ms|Mbit/s)");
    int finals = 0;
    for (const std::string& line : lines_of(screen)) finals += std::regex_match(line, final_line);
    EXPECT_EQ(finals, 6) << screen;
}
