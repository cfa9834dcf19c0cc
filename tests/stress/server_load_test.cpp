// The built-in server under load: thousands of pings, hundreds of start/stop
// cycles with transfers in flight, and a stop while clients keep connecting. After each, the
// process holds what it held before and the port is free again. Every test runs in a process of its
// own.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "frame/state.h"
#include "lan/server.h"
#include "platform/platform.h"
#include "raw_socket.h"
#include "stress_support.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

TEST(ServerLoad, ThousandsOfPings) {
    Baseline base;
    const int port = start_server_on_free_port();
    ASSERT_GT(port, 0) << linkrate_last_error();
    const int pings = rounds(3000, 600);
    int failed = 0;
    for (int i = 0; i < pings; ++i) {
        if (linkrate_ping(kLoopback, port, 1) <= 0.0) ++failed;
    }
    EXPECT_EQ(failed, 0) << linkrate_last_error();
    base.expect_only_listener();
    linkrate_stop_server();
    base.expect_back(port);
}

// Cycles on one port; every few cycles a library transfer or a raw upload is
// under way when the stop comes, and now and then the stop follows the start
// at once.
TEST(ServerLoad, HundredsOfStartStopCyclesWithTransfersInFlight) {
    Baseline base;
    const int port = start_server_on_free_port();
    ASSERT_GT(port, 0) << linkrate_last_error();
    linkrate_stop_server();
    const int cycles = rounds(300, 60);
    for (int cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_EQ(linkrate_start_server(port), 0)
            << "cycle " << cycle << ": " << linkrate_last_error();
        if (cycle % 10 == 3) {
            // A library download that the stop cuts short: it keeps what came.
            double mbps = -2.0;
            std::thread client([&] { mbps = linkrate_download(kLoopback, port, 5000); });
            platform::sleep_ms(30);
            linkrate_stop_server();
            client.join();
            EXPECT_GE(mbps, 0.0) << "cycle " << cycle << ": " << linkrate_last_error();
            continue;
        }
        if (cycle % 10 == 6) {
            RawConn up = raw_connect(port);
            ASSERT_TRUE(up.send_byte('U'));
            ASSERT_TRUE(up.send_fill(0xA5, 1 << 20));
            linkrate_stop_server();
            // Its connection thread ends after the receive under way.
            continue;
        }
        if (cycle % 3 == 0) {
            RawConn conn = raw_connect(port);
            ASSERT_TRUE(conn.send_byte('P'));
            ASSERT_EQ(conn.read_up_to(1), "P") << "cycle " << cycle;
        }
        linkrate_stop_server();
    }
    EXPECT_EQ(g_server_running.load(), 0u);
    base.expect_back(port);
}

// Clients keep connecting while the server stops: those that got in are
// served or let go, later ones are refused, and nothing is left behind.
TEST(ServerLoad, StopWhileClientsConnect) {
    Baseline base;
    const int rounds_of_stops = rounds(20, 6);
    for (int round = 0; round < rounds_of_stops; ++round) {
        const int port = start_server_on_free_port();
        ASSERT_GT(port, 0) << linkrate_last_error();
        std::atomic<bool> stopping{false};
        std::atomic<int> answered{0};
        std::vector<std::thread> clients;
        for (int c = 0; c < 4; ++c) {
            clients.emplace_back([&, c] {
                // Bounded by count as well as by the stop. Each client waits
                // for the server's side of its exchange before the next
                // connection, so it never has more than one waiting in the
                // listen queue.
                for (int i = 0; i < 2000 && !stopping.load(); ++i) {
                    RawConn conn = raw_connect(port);
                    if (!conn) continue;
                    const unsigned char command = "PPDU"[c];
                    if (!conn.send_byte(command)) continue;
                    if (command == 'P' && conn.read_up_to(1) == "P") ++answered;
                    if (command == 'D' && !conn.read_up_to(65536).empty()) ++answered;
                    if (command == 'U' && conn.send_fill(0xA5, 65536)) {
                        conn.shutdown_sending();
                        bool closed = false;
                        conn.read_to_end(&closed);
                        if (closed) ++answered;
                    }
                }
            });
        }
        // The library's own client as well, on this thread.
        EXPECT_GT(linkrate_ping(kLoopback, port, 2), 0.0) << linkrate_last_error();
        platform::sleep_ms(20 * (round % 5));
        linkrate_stop_server();
        EXPECT_FALSE(listening_on(port));
        platform::sleep_ms(50);
        stopping.store(true);
        for (auto& client : clients) client.join();
        EXPECT_GT(answered.load(), 0);
        EXPECT_EQ(linkrate_ping(kLoopback, port, 1), -1.0) << "refused once stopped";
    }
    base.expect_back();
}
