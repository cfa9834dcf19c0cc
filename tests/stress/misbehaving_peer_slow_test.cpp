// Peers that stay silent, stop reading or trickle one byte a second: raw
// clients against the built-in server, and a scripted server against the
// library's client. Each exchange ends within the socket time-outs, the others
// are served meanwhile, and the process ends where it began. Every test runs
// in a process of its own.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "frame/messages.h"
#include "peers.h"

using namespace linkrate;
using namespace linkrate::test;

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

}  // namespace

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
