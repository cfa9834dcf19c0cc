// The latency phase against a host name whose lookup never ends: the name
// server of this process's network namespace takes queries and never answers.
// Run by stalled_lookup_test.sh, which makes that namespace and its
// resolv.conf; outside it every test here skips.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "frame/messages.h"
#include "frame/state.h"
#include "platform/platform.h"
#include "run_support.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

// A UDP socket on the name server's address that takes every query and never
// reads or answers one.
class SilentNameServer {
public:
    SilentNameServer() : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(53);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~SilentNameServer() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return bound_; }

private:
    int fd_ = -1;
    bool bound_ = false;
};

}  // namespace

// A cancel during the first request ends the run with that request, which its
// 3 s time-out bounds although the lookup goes on for 10 s and more. The
// lookup's thread is left to end by itself when the lookup gives up; then
// nothing of the run remains.
TEST(StalledLookup, LatencyRequestEndsWithinItsTimeOut) {
    if (std::getenv("LINKRATE_IN_SILENT_DNS_NAMESPACE") == nullptr) {
        GTEST_SKIP() << "runs inside the namespace that stalled_lookup_test.sh makes";
    }
    SilentNameServer name_server;
    ASSERT_TRUE(name_server.ok()) << "cannot bind 127.0.0.1:53";
    ASSERT_EQ(linkrate_init(), 0);
    const int base_threads = settled_thread_count();
    const int base_fds = open_descriptor_count();

    std::thread cancel([] {
        platform::sleep_ms(500);
        linkrate_cancel();
    });
    const double start = platform::now_seconds();
    EXPECT_EQ(linkrate_internet_run("http://stalled-lookup.test:8080"), -1);
    const double elapsed = platform::now_seconds() - start;
    cancel.join();
    EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
    EXPECT_GE(elapsed, 2.9) << "the request waits for its time-out";
    EXPECT_LT(elapsed, 6.0) << "the request waited for the stalled lookup";

    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads; }, 30000))
        << thread_count() << " threads, " << base_threads << " before";
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds; }, 5000))
        << open_descriptor_count() << " descriptors, " << base_fds << " before";
}
