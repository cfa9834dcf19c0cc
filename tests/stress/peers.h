// What the tests of misbehaving peers share: raw peers run from scripts
// against the built-in server, and a server fixture that checks the process
// is back at its baseline after each test.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "raw_socket.h"
#include "stress_support.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace linkrate::test {

// The socket time-out of both ends of a data connection.
constexpr int kSocketTimeoutMs = 5000;
// Room for a loaded or instrumented machine on top of a time-out.
constexpr int kSlackMs = 4000;

using PeerScript = std::function<void(RawConn&)>;

// Runs every script against the server at `port`, each on a connection and
// thread of its own, `copies` times over; returns once all have ended.
inline void run_raw_peers(int port, const std::vector<PeerScript>& scripts, int copies) {
    std::vector<std::thread> peers;
    for (int copy = 0; copy < copies; ++copy) {
        for (const PeerScript& script : scripts) {
            peers.emplace_back([port, &script] {
                RawConn conn = raw_connect(port);
                if (conn) script(conn);
            });
        }
    }
    for (auto& peer : peers) peer.join();
}

// Sends `bytes` bytes of `fill`, one a second; false when a send failed.
inline bool trickle(RawConn& conn, unsigned char fill, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        platform::sleep_ms(1000);
        if (!conn.send_byte(fill)) return false;
    }
    return true;
}

// The library's client against the server is served while peers misbehave.
inline void expect_server_serves(int port) {
    EXPECT_GT(linkrate_ping(kLoopback, port, 2), 0.0) << linkrate_last_error();
    EXPECT_GT(linkrate_download(kLoopback, port, 200), 0.0) << linkrate_last_error();
}

class ServerPeers : public ::testing::Test {
protected:
    void SetUp() override {
        port_ = start_server_on_free_port();
        ASSERT_GT(port_, 0) << linkrate_last_error();
    }
    void TearDown() override {
        linkrate_stop_server();
        base_.expect_back(port_);
    }

    Baseline base_;
    int port_ = 0;
};

}  // namespace linkrate::test
