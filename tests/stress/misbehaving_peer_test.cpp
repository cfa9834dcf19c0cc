// Peers that reset, stall or trickle one byte a second: raw clients against
// the built-in server, and scripted servers against the library's client.
// Each exchange ends within the socket time-outs, the others are served
// meanwhile, and the process ends where it began. Every test runs in a
// process of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "frame/messages.h"
#include "platform/platform.h"
#include "raw_socket.h"
#include "stress_support.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

// The socket time-out of both ends of a data connection.
constexpr int kSocketTimeoutMs = 5000;
// Room for a loaded or instrumented machine on top of a time-out.
constexpr int kSlackMs = 4000;

using PeerScript = std::function<void(RawConn&)>;

// Runs every script against the server at `port`, each on a connection and
// thread of its own, `copies` times over; returns once all have ended.
void run_raw_peers(int port, const std::vector<PeerScript>& scripts, int copies) {
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
bool trickle(RawConn& conn, unsigned char fill, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        platform::sleep_ms(1000);
        if (!conn.send_byte(fill)) return false;
    }
    return true;
}

// The library's client against the server is served while peers misbehave.
void expect_server_serves(int port) {
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

}  // namespace

// Resets before the command, during a ping's reply, in a download and in an
// upload: each connection thread ends at once.
TEST_F(ServerPeers, ResetsAtEveryStage) {
    const std::vector<PeerScript> scripts = {
        [](RawConn& conn) { conn.close_with_reset(); },
        [](RawConn& conn) {
            conn.send_byte('P');
            conn.close_with_reset();
        },
        [](RawConn& conn) {
            conn.send_byte('D');
            conn.read_up_to(256 << 10);
            conn.close_with_reset();
        },
        [](RawConn& conn) {
            conn.send_byte('U');
            conn.send_fill(0xA5, 256 << 10);
            conn.close_with_reset();
        },
    };
    std::thread peers([&] { run_raw_peers(port_, scripts, rounds(20, 5)); });
    expect_server_serves(port_);
    peers.join();
    base_.expect_only_listener(kSlackMs);
    expect_server_serves(port_);
}

// A peer that sends nothing after its command, one that trickles its upload
// and one that trickles its command: the server drops the silent ones after
// its receive time-out, keeps the trickling ones while bytes come, and serves
// others meanwhile. (A peer that stops reading a download is dropped only
// after a few send time-outs, each of which may still move part of a block;
// the LAN server's slow tests cover that.)
TEST_F(ServerPeers, SilentAndTricklingPeers) {
    std::atomic<int> dropped{0};
    std::atomic<int> answered{0};
    auto expect_dropped = [&](RawConn& conn) {
        conn.set_read_timeout(kSocketTimeoutMs + kSlackMs);
        bool closed = false;
        conn.read_to_end(&closed);
        if (closed) ++dropped;
    };
    const std::vector<PeerScript> scripts = {
        // Upload command, then silence: dropped after the receive time-out.
        [&](RawConn& conn) {
            conn.send_byte('U');
            expect_dropped(conn);
        },
        // An upload at one byte a second keeps its connection alive until
        // the bytes stop.
        [&](RawConn& conn) {
            conn.send_byte('U');
            if (trickle(conn, 0xA5, 3)) ++answered;
            expect_dropped(conn);
        },
        // The command itself comes late, still within the time-out.
        [&](RawConn& conn) {
            platform::sleep_ms(kSocketTimeoutMs - 2000);
            conn.send_byte('P');
            if (conn.read_up_to(1) == "P") ++answered;
        },
    };
    const int copies = 3;
    std::thread peers([&] { run_raw_peers(port_, scripts, copies); });
    expect_server_serves(port_);
    peers.join();
    EXPECT_EQ(dropped.load(), 2 * copies);
    EXPECT_EQ(answered.load(), 2 * copies);
    base_.expect_only_listener(kSlackMs);
}

// A stop while peers trickle uploads or leave downloads unread ends their
// connection threads after the transfer call under way: the byte that comes
// next, or the one send time-out of the stalled send.
TEST_F(ServerPeers, StopEndsTricklingAndStalledExchanges) {
    constexpr int kTrickling = 4;
    constexpr int kStalled = 3;
    std::vector<RawConn> trickling;
    std::vector<RawConn> stalled;
    for (int i = 0; i < kTrickling; ++i) {
        trickling.push_back(raw_connect(port_));
        ASSERT_TRUE(trickling.back().send_byte('U'));
    }
    for (int i = 0; i < kStalled; ++i) {
        stalled.push_back(raw_connect(port_));
        ASSERT_TRUE(stalled.back().send_byte('D'));
    }
    const int serving = base_.threads() + 1 + kTrickling + kStalled;
    ASSERT_TRUE(eventually([&] { return thread_count() == serving; }, 5000)) << thread_count();
    // Let the stalled downloads fill every buffer, so their sends wait.
    platform::sleep_ms(200);
    linkrate_stop_server();
    for (RawConn& conn : trickling) {
        conn.send_byte(0xA5);
        bool closed = false;
        conn.set_read_timeout(kSocketTimeoutMs - 1000);
        conn.read_to_end(&closed);
        EXPECT_TRUE(closed) << "the connection thread ended after that byte";
    }
    // The unread downloads hold their connections; their threads end anyway.
    EXPECT_TRUE(
        eventually([&] { return thread_count() == base_.threads(); }, kSocketTimeoutMs + kSlackMs))
        << thread_count() << " threads, " << base_.threads() << " before";
}

// --- The library's client against misbehaving servers ------------------------------

namespace {

// Speaks the protocol, but one byte a second.
void trickling_server(RawConn& conn) {
    const std::string command = conn.read_up_to(1);
    if (command == "P") {
        platform::sleep_ms(1000);
        conn.send_byte('P');
    } else if (command == "D") {
        trickle(conn, 0x5A, 4);
    } else if (command == "U") {
        // Reads one byte a second, for longer than the client's send time-out.
        for (int i = 0; i < 7 && !conn.read_up_to(1).empty(); ++i) platform::sleep_ms(1000);
    }
}

// Resets after a little of each exchange.
void resetting_server(RawConn& conn) {
    const std::string command = conn.read_up_to(1);
    if (command == "D") conn.send_fill(0x5A, 256 << 10);
    if (command == "U") conn.read_up_to(256 << 10);
    conn.close_with_reset();
}

}  // namespace

TEST(ClientPeers, TricklingServer) {
    Baseline base;
    {
        ScriptedPeer peer(trickling_server);
        // A ping answered after a second is a success of about that length.
        EXPECT_GE(linkrate_ping(kLoopback, peer.port(), 1), 1000.0);
        // A download that gets a byte a second ends once its time has passed.
        double start = platform::now_seconds();
        EXPECT_GE(linkrate_download(kLoopback, peer.port(), 1500), 0.0);
        EXPECT_LT(platform::now_seconds() - start, 1.5 + 1.0 + kSlackMs / 1000.0);
        // An upload to a peer that hardly reads ends by the send time-out.
        start = platform::now_seconds();
        EXPECT_GE(linkrate_upload(kLoopback, peer.port(), 1500), 0.0);
        EXPECT_LT(platform::now_seconds() - start,
                  1.5 + 2.0 * (kSocketTimeoutMs + kSlackMs) / 1000.0);
    }
    base.expect_back();
}

TEST(ClientPeers, ResettingServer) {
    Baseline base;
    {
        ScriptedPeer peer(resetting_server);
        for (int i = 0; i < rounds(20, 5); ++i) {
            EXPECT_EQ(linkrate_ping(kLoopback, peer.port(), 1), -1.0);
            EXPECT_STREQ(linkrate_last_error(), msg::kNoPings);
            EXPECT_GE(linkrate_download(kLoopback, peer.port(), 2000), 0.0);
            EXPECT_GE(linkrate_upload(kLoopback, peer.port(), 2000), 0.0);
        }
    }
    base.expect_back();
}
