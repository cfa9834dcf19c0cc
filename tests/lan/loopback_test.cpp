// The LAN test end to end on loopback, server and client in one process: the
// figures of every test, the record each leaves, cancellation from another
// thread, and the failures a client meets. Runs on
// every system; the Windows build runs it under Wine.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "frame/messages.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace msg = linkrate::msg;
using linkrate::test::start_server_on_free_port;

namespace {

class Loopback : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(linkrate_init(), 0);
        port_ = start_server_on_free_port();
        ASSERT_GT(port_, 0) << linkrate_last_error();
    }
    void TearDown() override {
        linkrate_stop_server();
        linkrate_cleanup();
    }
    std::string record() const { return linkrate_result_json(); }
    int port_ = 0;
};

}  // namespace

TEST_F(Loopback, PingDownloadUploadAndTheRecord) {
    double ping = linkrate_ping("127.0.0.1", port_, 5);
    EXPECT_GT(ping, 0.0) << linkrate_last_error();
    EXPECT_LT(ping, 100.0);
    EXPECT_NE(record().find("\"phase\":\"ping\""), std::string::npos) << record();

    EXPECT_GT(linkrate_download("127.0.0.1", port_, 500), 0.0) << linkrate_last_error();
    EXPECT_NE(record().find("\"duration_ms\":500"), std::string::npos) << record();
    EXPECT_GT(linkrate_upload("127.0.0.1", port_, 500), 0.0) << linkrate_last_error();
    EXPECT_NE(record().find("\"phase\":\"upload\""), std::string::npos) << record();
    std::string server = "\"server\":\"127.0.0.1:" + std::to_string(port_) + "\"";
    EXPECT_NE(record().find(server), std::string::npos) << record();
}

TEST_F(Loopback, RunAllMeasuresEveryTest) {
    ASSERT_EQ(linkrate_run_all("127.0.0.1", port_, 300), 0) << linkrate_last_error();
    std::string text = record();
    EXPECT_EQ(text.find("\"download_mbps\":0.0"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"upload_mbps\":0.0"), std::string::npos) << text;
    EXPECT_EQ(text.find("\"ping_ms\":0.0"), std::string::npos) << text;
}

// A cancel from another thread ends a long download within a second of it,
// with the cancel's message.
TEST_F(Loopback, CancelFromAnotherThreadEndsTheTransfer) {
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        linkrate_cancel();
    });
    auto began = std::chrono::steady_clock::now();
    double mbps = linkrate_download("127.0.0.1", port_, 20000);
    auto took = std::chrono::steady_clock::now() - began;
    canceller.join();
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_STREQ(linkrate_last_error(), msg::kCancelled) << mbps;
}

// Failures a client meets: a bad host, a port nobody listens on.
TEST_F(Loopback, ClientFailures) {
    struct Case {
        const char* host;
        int port;
        const char* message;
    };
    const Case cases[] = {
        {"127.0.0.1", 0, msg::kInvalidHostOrPort},
        {"127.0.0.1", -5, msg::kInvalidHostOrPort},
        {"no-such-host.invalid", port_, msg::kConnectFailed},
        {"127.0.0.1", linkrate::test::free_port(), msg::kConnectFailed},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.host) + ":" + std::to_string(c.port));
        EXPECT_LT(linkrate_download(c.host, c.port, 200), 0.0);
        EXPECT_STREQ(linkrate_last_error(), c.message);
    }
}
