// Client behaviour against a peer that accepts and then stays silent: the
// 5 s socket time-outs end each test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "platform/platform.h"
#include "raw_socket.h"

using namespace linkrate;
using namespace linkrate::test;

TEST(ClientSlow, SilentPeerEndsPingAndDownloadAfterTheTimeOut) {
    std::atomic<bool> done{false};
    ScriptedPeer peer([&](RawConn&) {
        while (!done) platform::sleep_ms(10);
    });
    ASSERT_EQ(linkrate_init(), 0);

    double start = platform::now_seconds();
    EXPECT_EQ(linkrate_ping("127.0.0.1", peer.port(), 1), -1.0);
    double elapsed = platform::now_seconds() - start;
    EXPECT_STREQ(linkrate_last_error(), msg::kNoPings);
    EXPECT_GT(elapsed, 4.5);
    EXPECT_LT(elapsed, 8.0);

    set_last_error("");
    start = platform::now_seconds();
    EXPECT_EQ(linkrate_download("127.0.0.1", peer.port(), 1000), 0.0);
    elapsed = platform::now_seconds() - start;
    EXPECT_GT(elapsed, 4.5) << "the first receive waits for its time-out";
    EXPECT_LT(elapsed, 8.0);
    EXPECT_STREQ(linkrate_last_error(), "");
    EXPECT_NE(std::string(linkrate_result_json()).find("\"download_mbps\":0.0"), std::string::npos);
    EXPECT_STREQ(g_last_result.phase, "download");
    done = true;
}
