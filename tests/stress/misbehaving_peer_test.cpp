// Peers that reset at every stage: raw clients against the built-in server,
// and a scripted server against the library's client. Each exchange ends at
// once, the others are served meanwhile, and the process ends where it began.
// Every test runs in a process of its own.
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

// Resets after a little of each exchange.
void resetting_server(RawConn& conn) {
    const std::string command = conn.read_up_to(1);
    if (command == "D") conn.send_fill(0x5A, 256 << 10);
    if (command == "U") conn.read_up_to(256 << 10);
    conn.close_with_reset();
}

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
