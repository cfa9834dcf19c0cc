// Tests run on several host threads at once, as a host may do once the
// library is initialised: each ends with one of its own outcomes and the
// poller reads whole texts. The last-error text is one process-wide buffer
// written without a lock by the call that fails, so only one thread here runs
// tests that fail, and it reads the text after each of its own calls.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "frame/messages.h"
#include "stress_support.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

TEST(ConcurrentHosts, TestsOnSeveralThreadsWithFailures) {
    Baseline base;
    const int port = start_server_on_free_port();
    ASSERT_GT(port, 0) << linkrate_last_error();
    const int closed_port = free_port();
    const std::set<std::string> known = {"",
                                         msg::kNoPings,
                                         msg::kConnectFailed,
                                         msg::kCancelled,
                                         msg::kAllTestsFailed,
                                         msg::kInvalidHostOrPort};
    std::atomic<int> unknown{0};
    {
        JsonPoller poller;
        std::vector<std::thread> hosts;
        const int rounds_each = rounds(40, 10);
        for (int h = 0; h < 4; ++h) {
            hosts.emplace_back([&, h] {
                for (int i = 0; i < rounds_each; ++i) {
                    // Only the last thread fails, every second round.
                    const int target = (h == 3 && i % 2 == 0) ? closed_port : port;
                    switch (h) {
                        case 0:
                            linkrate_ping(kLoopback, target, 1);
                            break;
                        case 1:
                            linkrate_download(kLoopback, target, 20);
                            break;
                        case 2:
                            linkrate_upload(kLoopback, target, 20);
                            break;
                        default:
                            if (i % 4 == 1) {
                                linkrate_ping(nullptr, target, 1);
                            } else {
                                linkrate_ping(kLoopback, target, 1);
                            }
                            if (known.count(linkrate_last_error()) == 0) ++unknown;
                            break;
                    }
                }
            });
        }
        for (auto& host : hosts) host.join();
        poller.stop();
        EXPECT_TRUE(poller.bad_texts().empty()) << poller.bad_texts().front();
    }
    EXPECT_EQ(unknown.load(), 0);
    linkrate_stop_server();
    base.expect_back(port);
}
