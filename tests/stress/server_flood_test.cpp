// The built-in server under a flood of idle connections, which hold a
// connection thread each until the server's receive time-out. Afterwards the
// process holds what it held before and the port is free again.
#include <gtest/gtest.h>

#include <vector>

#include "raw_socket.h"
#include "stress_support.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

// The server drops a connection whose command byte has not come after this
// long (its receive time-out), plus room for a loaded machine.
constexpr int kIdleDropMs = 5000 + 4000;

}  // namespace

TEST(ServerFlood, IdleConnectionsDoNotBlockOthersAndAreDropped) {
    Baseline base;
    const int port = start_server_on_free_port();
    ASSERT_GT(port, 0) << linkrate_last_error();
    const int flood = rounds(300, 150);

    // Connections that send nothing; each holds a connection thread.
    std::vector<RawConn> idle;
    for (int i = 0; i < flood; ++i) {
        RawConn conn = raw_connect(port);
        ASSERT_TRUE(conn) << "connection " << i;
        idle.push_back(std::move(conn));
    }
    ASSERT_TRUE(eventually([&] { return thread_count() >= base.threads() + 1 + flood; }, 10000))
        << thread_count() << " threads for " << flood << " idle connections";

    // Another client is served meanwhile.
    EXPECT_GT(linkrate_ping(kLoopback, port, 3), 0.0) << linkrate_last_error();
    EXPECT_GT(linkrate_download(kLoopback, port, 300), 0.0) << linkrate_last_error();
    EXPECT_GT(linkrate_upload(kLoopback, port, 300), 0.0) << linkrate_last_error();

    // Each idle connection is closed by the server once its wait runs out.
    for (RawConn& conn : idle) conn.set_read_timeout(kIdleDropMs);
    int closed_by_server = 0;
    for (RawConn& conn : idle) {
        bool closed = false;
        EXPECT_EQ(conn.read_to_end(&closed), "");
        if (closed) ++closed_by_server;
    }
    EXPECT_EQ(closed_by_server, flood);
    idle.clear();

    // Recovered: only the listener is left, and the server works as before.
    base.expect_only_listener();
    EXPECT_GT(linkrate_ping(kLoopback, port, 1), 0.0) << linkrate_last_error();
    linkrate_stop_server();
    base.expect_back(port);
}
