// Server behaviour that takes the 5 s socket time-out to show.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "raw_socket.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

TEST(ServerSlow, SilentClientIsDroppedAfterTheTimeOut) {
    int port = start_server_on_free_port();
    ASSERT_GT(port, 0);
    RawConn conn = raw_connect(port);
    ASSERT_TRUE(conn);
    double start = platform::now_seconds();
    bool closed = false;
    EXPECT_EQ(conn.read_to_end(&closed), "");
    double elapsed = platform::now_seconds() - start;
    EXPECT_TRUE(closed);
    EXPECT_GT(elapsed, 4.5);
    EXPECT_LT(elapsed, 8.0);
    linkrate_stop_server();
}

TEST(ServerSlow, ClientThatStopsReadingIsDroppedAfterTheTimeOut) {
    ASSERT_EQ(linkrate_init(), 0);
    int base_threads = settled_thread_count();
    int port = start_server_on_free_port();
    ASSERT_GT(port, 0);
    RawConn conn = raw_connect(port);
    ASSERT_TRUE(conn.send_byte('D'));
    ASSERT_EQ(conn.read_up_to(65536).size(), 65536u);
    // The connection thread ends once a send has made no progress for 5 s (on
    // Linux a stalling send may first return a part after its 5 s, so this
    // can take a few time-outs), while the server keeps running.
    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads + 1; }, 25000));
    linkrate_stop_server();
}
