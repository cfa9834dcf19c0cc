// The built-in server, driven by raw TCP clients that speak the wire protocol
// by hand. Every test runs in a process of its own.
#include "lan/server.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <iterator>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/messages.h"
#include "frame/state.h"
#include "platform/platform.h"
#include "raw_socket.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(linkrate_init(), 0);
        base_fds_ = open_descriptor_count();
        base_threads_ = settled_thread_count();
        port_ = start_server_on_free_port();
        ASSERT_GT(port_, 0) << linkrate_last_error();
    }
    void TearDown() override { linkrate_stop_server(); }

    // Descriptors and threads back where they were before the server started.
    void expect_back_at_baseline() {
        EXPECT_TRUE(eventually([&] { return thread_count() == base_threads_; }, 8000))
            << thread_count() << " threads, " << base_threads_ << " before";
        EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds_; }, 8000))
            << open_descriptor_count() << " descriptors, " << base_fds_ << " before";
    }

    int port_ = 0;
    int base_fds_ = 0;
    int base_threads_ = 0;
};

// The server's reply to one command byte, up to the close.
std::string reply_to(int port, unsigned char command, bool* closed) {
    RawConn conn = raw_connect(port);
    if (!conn || !conn.send_byte(command)) return "<no connection>";
    return conn.read_to_end(closed);
}

}  // namespace

TEST_F(Server, PingIsEchoedThenClosed) {
    bool closed = false;
    EXPECT_EQ(reply_to(port_, 'P', &closed), "P");
    EXPECT_TRUE(closed);
}

TEST_F(Server, NonCommandsCloseWithoutData) {
    for (unsigned char command : {'p', 'd', 'u', 'X', '\0', '\xFF'}) {
        bool closed = false;
        EXPECT_EQ(reply_to(port_, command, &closed), "") << "command " << int(command);
        EXPECT_TRUE(closed) << "command " << int(command);
    }
    // A client that closes before sending anything is let go as well.
    { RawConn silent = raw_connect(port_); }
    linkrate_stop_server();
    expect_back_at_baseline();
}

TEST_F(Server, PingReadsOnlyTheCommandByte) {
    RawConn conn = raw_connect(port_);
    ASSERT_TRUE(conn.send_byte('P'));
    ASSERT_TRUE(conn.send_fill('x', 100));
    EXPECT_EQ(conn.read_up_to(1), "P");
}

TEST_F(Server, DownloadStreamsOnlyFillBytesForAsLongAsTheClientReads) {
    RawConn conn = raw_connect(port_);
    ASSERT_TRUE(conn.send_byte('D'));
    constexpr std::size_t kWant = 16u << 20;  // far more than any socket buffer
    std::string data = conn.read_up_to(kWant);
    ASSERT_EQ(data.size(), kWant);
    EXPECT_EQ(std::count(data.begin(), data.end(), '\x5A'), static_cast<long>(kWant));
    conn.close();
    linkrate_stop_server();
    expect_back_at_baseline();
}

TEST_F(Server, UploadIsSwallowedWithoutReply) {
    RawConn conn = raw_connect(port_);
    ASSERT_TRUE(conn.send_byte('U'));
    ASSERT_TRUE(conn.send_fill(0xA5, 8u << 20));
    // Half-closing ends the upload: the server closes without sending a byte.
    conn.shutdown_sending();
    bool closed = false;
    EXPECT_EQ(conn.read_to_end(&closed), "");
    EXPECT_TRUE(closed);
}

TEST_F(Server, StopEndsDownloadsAndUploadsInProgress) {
    RawConn down = raw_connect(port_);
    RawConn up = raw_connect(port_);
    ASSERT_TRUE(down.send_byte('D'));
    ASSERT_TRUE(up.send_byte('U'));
    ASSERT_EQ(down.read_up_to(1 << 20).size(), 1u << 20);
    ASSERT_TRUE(up.send_fill(0xA5, 1 << 20));

    linkrate_stop_server();
    EXPECT_FALSE(listening_on(port_));
    // The download thread finishes its block and closes; so does the upload
    // thread after the receive under way, which the next block completes.
    bool closed = false;
    down.read_to_end(&closed);
    EXPECT_TRUE(closed);
    bool send_failed = false;
    for (int i = 0; i < 400 && !send_failed; ++i) send_failed = !up.send_fill(0xA5, 65536);
    EXPECT_TRUE(send_failed);
    down.close();
    up.close();
    expect_back_at_baseline();
}

TEST_F(Server, PingAcceptedBeforeStopIsStillAnswered) {
    RawConn conn = raw_connect(port_);
    ASSERT_TRUE(conn);
    // The connection thread has started and waits for its command byte.
    ASSERT_TRUE(eventually([&] { return thread_count() == base_threads_ + 2; }, 3000));
    linkrate_stop_server();
    ASSERT_TRUE(conn.send_byte('P'));
    EXPECT_EQ(conn.read_up_to(1), "P");
}

TEST_F(Server, DownloadOfAnEarlierServerEndsAfterARestart) {
    RawConn conn = raw_connect(port_);
    ASSERT_TRUE(conn.send_byte('D'));
    ASSERT_EQ(conn.read_up_to(1 << 20).size(), 1u << 20);
    linkrate_stop_server();
    ASSERT_EQ(linkrate_start_server(port_), 0) << linkrate_last_error();
    // Its connection thread belongs to the stopped server: the running new
    // one does not keep it going.
    bool closed = false;
    conn.read_to_end(&closed);
    EXPECT_TRUE(closed);
    bool reply_closed = false;
    EXPECT_EQ(reply_to(port_, 'P', &reply_closed), "P");
}

TEST_F(Server, StartWhileRunningKeepsTheFirstPort) {
    int other = free_port();
    EXPECT_EQ(linkrate_start_server(other), 0);
    EXPECT_TRUE(listening_on(port_));
    EXPECT_FALSE(listening_on(other));
}

TEST_F(Server, StopRestartAndStopTwice) {
    linkrate_stop_server();
    EXPECT_FALSE(listening_on(port_));
    EXPECT_EQ(g_server_running.load(), 0u);
    linkrate_stop_server();  // harmless

    ASSERT_EQ(linkrate_start_server(port_), 0) << "the same port again";
    bool closed = false;
    EXPECT_EQ(reply_to(port_, 'P', &closed), "P");
    linkrate_stop_server();

    int other = start_server_on_free_port();
    ASSERT_GT(other, 0);
    EXPECT_EQ(reply_to(other, 'P', &closed), "P");
    EXPECT_EQ(listening_ports(), std::vector<int>{other});
}

TEST_F(Server, CleanupStopsTheServer) {
    linkrate_cleanup();
    EXPECT_FALSE(listening_on(port_));
    EXPECT_EQ(g_server_running.load(), 0u);
    expect_back_at_baseline();
}

TEST_F(Server, ManyClientsAtOnce) {
    constexpr int kClients = 40;
    std::atomic<int> good{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.emplace_back([&, i] {
            RawConn conn = raw_connect(port_);
            if (!conn) return;
            if (i % 2 == 0) {
                if (conn.send_byte('P') && conn.read_up_to(1) == "P") ++good;
            } else if (conn.send_byte('D')) {
                if (conn.read_up_to(1 << 20).size() == 1u << 20) ++good;
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_EQ(good.load(), kClients);
}

TEST_F(Server, FailedConnectionThreadClosesThatConnectionOnly) {
    platform::fail_next(platform::Fault::thread);
    bool closed = false;
    EXPECT_EQ(reply_to(port_, 'P', &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_EQ(reply_to(port_, 'P', &closed), "P");
}

TEST_F(Server, DownloadWithoutBufferClosesWithoutPayload) {
    platform::fail_next(platform::Fault::alloc);
    bool closed = false;
    EXPECT_EQ(reply_to(port_, 'D', &closed), "");
    EXPECT_TRUE(closed);
}

// --- A stop whose wait for the listener runs out -----------------------------------

namespace {

std::set<std::string> directory_entries(const char* path) {
    std::set<std::string> names;
    if (DIR* dir = opendir(path)) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') names.insert(entry->d_name);
        }
        closedir(dir);
    }
    return names;
}

std::set<std::string> added(const std::set<std::string>& before,
                            const std::set<std::string>& after) {
    std::set<std::string> result;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::inserter(result, result.end()));
    return result;
}

// What descriptor `fd` of this process refers to ("socket:[inode]"), or "".
std::string descriptor_target(const std::string& fd) {
    char target[128] = {};
    ssize_t n = readlink(("/proc/self/fd/" + fd).c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

// The descriptors of this process that are sockets.
std::set<std::string> socket_descriptors() {
    std::set<std::string> sockets;
    for (const std::string& fd : directory_entries("/proc/self/fd")) {
        if (descriptor_target(fd).rfind("socket:", 0) == 0) sockets.insert(fd);
    }
    return sockets;
}

// Holds one thread inside a signal handler until released, so that a test
// can keep the listener from reaching its next check of the running flag.
std::atomic<int> g_held{0};
std::atomic<int> g_release{0};

void hold_here(int) {
    g_held.store(1);
    while (g_release.load() == 0) {
        timespec pause{0, 1000000};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

// The stop's wait runs out while the listener is still alive (held in a signal
// handler here): the listening descriptor must stay open, so that its number
// cannot go to another socket under the listener, until the listener itself
// closes it as it ends.
TEST(ServerStop, WaitThatRunsOutLeavesTheDescriptorToTheListener) {
    ASSERT_EQ(linkrate_init(), 0);
    const int base_fds = open_descriptor_count();
    const int base_threads = settled_thread_count();
    const auto tasks = directory_entries("/proc/self/task");
    const auto sockets = socket_descriptors();
    ASSERT_GT(start_server_on_free_port(), 0) << linkrate_last_error();
    const auto listener = added(tasks, directory_entries("/proc/self/task"));
    const auto listening = added(sockets, socket_descriptors());
    ASSERT_EQ(listener.size(), 1u);
    ASSERT_EQ(listening.size(), 1u);
    const std::string fd = *listening.begin();
    const std::string socket = descriptor_target(fd);

    struct sigaction action {};
    action.sa_handler = hold_here;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR2, &action, nullptr), 0);
    ASSERT_EQ(syscall(SYS_tgkill, getpid(), std::stoi(*listener.begin()), SIGUSR2), 0);
    ASSERT_TRUE(eventually([] { return g_held.load() == 1; }, 5000));

    platform::fail_next(platform::Fault::thread_wait);
    linkrate_stop_server();
    EXPECT_EQ(g_server_running.load(), 0u);
    EXPECT_EQ(descriptor_target(fd), socket) << "closed under a listener that still runs";

    g_release.store(1);
    EXPECT_TRUE(eventually([&] { return descriptor_target(fd) != socket; }, 5000))
        << "the listener closes it as it ends";
    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads; }, 8000));
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds; }, 8000));
}

// Without a hold the listener often ends just as the wait is found to have
// run out: whichever side comes last closes the socket, once.
TEST(ServerStop, WaitsThatRunOutLeaveNothingBehind) {
    ASSERT_EQ(linkrate_init(), 0);
    const int base_fds = open_descriptor_count();
    const int base_threads = settled_thread_count();
    for (int cycle = 0; cycle < 30; ++cycle) {
        const int port = start_server_on_free_port();
        ASSERT_GT(port, 0) << linkrate_last_error();
        if (cycle % 3 == 0) platform::sleep_ms(cycle % 7);
        platform::fail_next(platform::Fault::thread_wait);
        linkrate_stop_server();
        EXPECT_EQ(g_server_running.load(), 0u);
    }
    EXPECT_TRUE(eventually([&] { return listening_ports().empty(); }, 5000));
    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads; }, 8000));
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds; }, 8000));
}

// --- Starting ---------------------------------------------------------------------

TEST(ServerStart, UsesTheLowSixteenBitsOfThePort) {
    int port = free_port();
    ASSERT_EQ(linkrate_start_server(65536 * 3 + port), 0) << linkrate_last_error();
    EXPECT_EQ(listening_ports(), std::vector<int>{port});
    linkrate_stop_server();

    ASSERT_EQ(linkrate_start_server(65536), 0) << "0 and multiples of 65536: the system's choice";
    ASSERT_EQ(listening_ports().size(), 1u);
    int chosen = listening_ports()[0];
    bool closed = false;
    EXPECT_EQ(reply_to(chosen, 'P', &closed), "P");
    linkrate_stop_server();

    ASSERT_EQ(linkrate_start_server(0), 0);
    EXPECT_EQ(listening_ports().size(), 1u);
    linkrate_stop_server();
    EXPECT_TRUE(listening_ports().empty());
}

TEST(ServerStart, MinusOneIsPort65535) {
    RawConn probe = raw_connect(65535);
    if (probe) GTEST_SKIP() << "something else listens on 65535";
    int result = linkrate_start_server(-1);
    if (result != 0) GTEST_SKIP() << "port 65535 is taken: " << linkrate_last_error();
    EXPECT_EQ(listening_ports(), std::vector<int>{65535});
    linkrate_stop_server();
}

TEST(ServerStart, PortTakenFailsAtOnceAndLeavesNothingBehind) {
    ASSERT_EQ(linkrate_init(), 0);
    int base_threads = settled_thread_count();
    // Another program's listener on the port.
    RawConn port_holder = raw_listen(0);
    int port = local_port(port_holder);
    ASSERT_TRUE(port_holder);

    double start = platform::now_seconds();
    EXPECT_EQ(linkrate_start_server(port), -1);
    double elapsed = platform::now_seconds() - start;
    EXPECT_STREQ(linkrate_last_error(), msg::kServerBindFailed);
    EXPECT_LT(elapsed, 1.5) << "the listener's failure ends the wait, not the 2 s limit";
    EXPECT_EQ(g_server_running.load(), 0u);
    EXPECT_EQ(thread_count(), base_threads) << "the failed listener was waited for";
    port_holder.close();

    EXPECT_EQ(linkrate_start_server(port), 0) << "a failed start does not block a later one";
    linkrate_stop_server();
}

TEST(ServerStart, ThreadAndSocketFailures) {
    ASSERT_EQ(linkrate_init(), 0);
    platform::fail_next(platform::Fault::thread);
    EXPECT_EQ(linkrate_start_server(free_port()), -1);
    EXPECT_STREQ(linkrate_last_error(), msg::kServerThreadFailed);
    EXPECT_EQ(g_server_running.load(), 0u);

    platform::fail_next(platform::Fault::socket);
    EXPECT_EQ(linkrate_start_server(free_port()), -1);
    EXPECT_STREQ(linkrate_last_error(), msg::kServerBindFailed);
    EXPECT_EQ(g_server_running.load(), 0u);
}

TEST(ServerStart, InitialisesOnFirstUse) {
    int port = start_server_on_free_port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(g_initialized.load(), 1);
    linkrate_stop_server();
}

TEST(ServerStart, HundredCyclesWithTrafficLeaveNothingBehind) {
    ASSERT_EQ(linkrate_init(), 0);
    int base_fds = open_descriptor_count();
    int base_threads = settled_thread_count();
    for (int cycle = 0; cycle < 100; ++cycle) {
        int port = start_server_on_free_port();
        ASSERT_GT(port, 0) << linkrate_last_error();
        bool closed = false;
        ASSERT_EQ(reply_to(port, 'P', &closed), "P");
        if (cycle % 10 == 0) {
            RawConn conn = raw_connect(port);
            ASSERT_TRUE(conn.send_byte('D'));
            ASSERT_EQ(conn.read_up_to(65536).size(), 65536u);
        }
        // Every few cycles, a stop that comes right after the start.
        if (cycle % 7 == 0) {
            linkrate_stop_server();
            ASSERT_EQ(linkrate_start_server(port), 0);
        }
        linkrate_stop_server();
    }
    EXPECT_TRUE(listening_ports().empty());
    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads; }, 8000));
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds; }, 8000));
}
