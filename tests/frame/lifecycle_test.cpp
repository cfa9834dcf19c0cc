// The frame's lifecycle, last-error text, cancel flag and callback slot. Every
// test runs in a process of its own, so each starts from the state at load.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "internet/http_library.h"
#include "platform/platform.h"
#include "test_support.h"

using namespace linkrate;

namespace {

constexpr const char* kIdleJson =
    "{\"ping_ms\":0.0,\"download_mbps\":0.0,\"upload_mbps\":0.0,\"duration_ms\":0,"
    "\"jitter_ms\":0.0,\"server\":\"lan\",\"phase\":\"idle\"}";
constexpr const char* kInitialJson =
    "{\"ping_ms\":0.00,\"download_mbps\":0.00,\"upload_mbps\":0.00,\"duration_ms\":0,"
    "\"jitter_ms\":0.00,\"server\":\"lan\",\"phase\":\"idle\"}";

void dummy_tick(const char*, double, int32_t) {}

std::atomic<int> g_counted_ticks{0};
void counting_tick(const char*, double, int32_t) { g_counted_ticks.fetch_add(1); }

void write_record(double download, const char* server) {
    update_result([&](TestResult& r) {
        r.download_mbps = download;
        std::snprintf(r.server, sizeof r.server, "%s", server);
    });
}

}  // namespace

TEST(Lifecycle, CallsThatNeverInitialise) {
    EXPECT_EQ(linkrate_version(), test::version_from_macros());
    EXPECT_STREQ(linkrate_last_error(), "");
    linkrate_cancel();
    linkrate_stop_server();
    EXPECT_EQ(g_initialized.load(), 0);
    EXPECT_EQ(g_cancel_flag.load(), 1);
    EXPECT_STREQ(g_json_buf, kInitialJson);
}

TEST(Lifecycle, FirstResultReadInitialises) {
    const char* text = linkrate_result_json();
    EXPECT_EQ(g_initialized.load(), 1);
    EXPECT_EQ(g_curl_initialized.load(), 1);
    EXPECT_STREQ(text, kIdleJson);
    EXPECT_EQ(std::strlen(text), 115u);
    EXPECT_EQ(linkrate_result_json(), text) << "the text lives at one fixed address";
}

TEST(Lifecycle, InitAgainResetsStateButKeepsCallback) {
    ASSERT_EQ(linkrate_init(), 0);
    linkrate_set_tick(dummy_tick);
    write_record(93.5, "10.0.0.1:5201");
    set_last_error(msg::kNoPings);
    linkrate_cancel();
    ASSERT_EQ(linkrate_init(), 0);
    EXPECT_STREQ(linkrate_result_json(), kIdleJson);
    EXPECT_STREQ(linkrate_last_error(), "");
    EXPECT_EQ(g_cancel_flag.load(), 0);
    EXPECT_EQ(g_tick_cb.load(), &dummy_tick);
    EXPECT_EQ(g_curl_initialized.load(), 1);
}

TEST(Lifecycle, CleanupKeepsResultsUntilNextInitialisation) {
    ASSERT_EQ(linkrate_init(), 0);
    linkrate_set_tick(dummy_tick);
    write_record(12.5, "host:1");
    set_last_error(msg::kConnectFailed);
    linkrate_cleanup();
    EXPECT_EQ(g_initialized.load(), 0);
    EXPECT_EQ(g_curl_initialized.load(), 0);
    EXPECT_STREQ(linkrate_last_error(), "Connect to host failed");
    EXPECT_NE(std::strstr(g_json_buf, "\"download_mbps\":12.5"), nullptr);
    // The next operation that initialises lazily resets the record and the text.
    EXPECT_STREQ(linkrate_result_json(), kIdleJson);
    EXPECT_STREQ(linkrate_last_error(), "");
    EXPECT_EQ(g_tick_cb.load(), &dummy_tick);
}

TEST(Lifecycle, SocketLibraryStartupFailure) {
    platform::fail_next(platform::Fault::socket_startup);
    EXPECT_EQ(linkrate_init(), -1);
    EXPECT_STREQ(linkrate_last_error(), "WSAStartup failed");
    EXPECT_EQ(g_initialized.load(), 0);
    EXPECT_EQ(g_curl_initialized.load(), 0);
    // A lazy initialisation that fails still hands out the text held since load.
    platform::fail_next(platform::Fault::socket_startup);
    EXPECT_STREQ(linkrate_result_json(), kInitialJson);
    EXPECT_EQ(g_initialized.load(), 0);
    // The next attempt succeeds and renders.
    EXPECT_STREQ(linkrate_result_json(), kIdleJson);
    EXPECT_EQ(g_initialized.load(), 1);
}

TEST(Lifecycle, FailedStartupFromInitialisedStateChangesOnlyTheMessage) {
    ASSERT_EQ(linkrate_init(), 0);
    write_record(7.0, "kept");
    platform::fail_next(platform::Fault::socket_startup);
    EXPECT_EQ(linkrate_init(), -1);
    EXPECT_EQ(g_initialized.load(), 1);
    EXPECT_NE(std::strstr(linkrate_result_json(), "\"server\":\"kept\""), nullptr);
}

TEST(LastError, LongTextIsCutAndTerminated) {
    std::string long_text(700, 'x');
    set_last_error(long_text.c_str());
    EXPECT_EQ(std::strlen(linkrate_last_error()), kLastErrorSize - 1);
}

TEST(LastError, EveryMessageFitsUncut) {
    for (const char* message : msg::kAll) {
        set_last_error(message);
        EXPECT_STREQ(linkrate_last_error(), message);
        EXPECT_LE(std::strlen(message), 51u);
    }
}

TEST(Tick, SlotStoresAndClears) {
    ASSERT_EQ(linkrate_init(), 0);
    linkrate_set_tick(dummy_tick);
    EXPECT_EQ(g_tick_cb.load(), &dummy_tick);
    linkrate_set_tick(nullptr);
    EXPECT_EQ(g_tick_cb.load(), nullptr);
}

TEST(Tick, ReportsReachOnlyTheRegisteredCallback) {
    ASSERT_EQ(linkrate_init(), 0);
    linkrate_set_tick(counting_tick);
    report_tick("ping", 1.0, 10);
    EXPECT_EQ(g_counted_ticks.load(), 1);
    linkrate_set_tick(nullptr);
    report_tick("ping", 1.0, 20);
    EXPECT_EQ(g_counted_ticks.load(), 1) << "an unregistered callback was still called";
}
