// The LAN client tests against the library's own server and against small
// scripted peers. Every test runs in a process of its own.
#include "lan/client.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "lan/connect.h"
#include "lan/ping_attempts.h"
#include "platform/platform.h"
#include "raw_socket.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::test;

namespace {

constexpr const char* kHost = "127.0.0.1";

std::string json() { return linkrate_result_json(); }

bool json_has(const std::string& member) { return json().find(member) != std::string::npos; }

// Marks the record so that a test can see which fields a call left alone.
void mark_record() {
    update_result([](TestResult& r) {
        r.ping_ms = 1.5;
        r.download_mbps = 2.5;
        r.upload_mbps = 3.5;
        r.duration_ms = 7;
        r.jitter_ms = 4.5;
    });
}

// Calls linkrate_cancel() once `ready` holds, then after `delay_ms`.
std::thread cancel_later(
    int delay_ms, std::function<bool()> ready = [] { return true; }) {
    return std::thread([=] {
        eventually(ready, 10000);
        platform::sleep_ms(delay_ms);
        linkrate_cancel();
    });
}

class AgainstServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(linkrate_init(), 0);
        base_fds_ = open_descriptor_count();
        base_threads_ = settled_thread_count();
        port_ = start_server_on_free_port();
        ASSERT_GT(port_, 0) << linkrate_last_error();
        server_text_ = "\"server\":\"127.0.0.1:" + std::to_string(port_) + "\"";
    }
    void TearDown() override { linkrate_stop_server(); }

    int port_ = 0;
    std::string server_text_;
    // Before the server started; it adds its listener thread and socket.
    int base_fds_ = 0;
    int base_threads_ = 0;
};

// Speaks the protocol like the server, but answers a ping with `echo`.
void protocol_peer(RawConn& conn, unsigned char echo) {
    std::string command = conn.read_up_to(1);
    if (command == "P") {
        conn.send_byte(echo);
    } else if (command == "D") {
        while (conn.send_fill(0x5A, 65536)) {
        }
    } else if (command == "U") {
        bool closed = false;
        conn.read_to_end(&closed);
    }
}

}  // namespace

// --- Against the library's own server ---------------------------------------------

TEST_F(AgainstServer, PingRecordsMeanServerAndPhase) {
    mark_record();
    double ms = linkrate_ping(kHost, port_, 3);
    ASSERT_GT(ms, 0.0) << linkrate_last_error();
    EXPECT_EQ(g_last_result.ping_ms, ms);
    EXPECT_TRUE(json_has(server_text_)) << json();
    EXPECT_TRUE(json_has("\"phase\":\"ping\""));
    EXPECT_TRUE(
        json_has("\"download_mbps\":2.5,\"upload_mbps\":3.5,\"duration_ms\":7,"
                 "\"jitter_ms\":4.5"))
        << json();
}

TEST_F(AgainstServer, DownloadAndUploadRecordTheirOwnFields) {
    mark_record();
    double down = linkrate_download(kHost, port_, 200);
    ASSERT_GT(down, 0.0) << linkrate_last_error();
    EXPECT_EQ(g_last_result.download_mbps, down);
    EXPECT_EQ(g_last_result.upload_mbps, 3.5);
    EXPECT_EQ(g_last_result.duration_ms, 200);
    EXPECT_TRUE(json_has("\"phase\":\"download\""));

    double up = linkrate_upload(kHost, port_, 150);
    ASSERT_GT(up, 0.0) << linkrate_last_error();
    EXPECT_EQ(g_last_result.upload_mbps, up);
    EXPECT_EQ(g_last_result.download_mbps, down);
    EXPECT_EQ(g_last_result.duration_ms, 150);
    EXPECT_EQ(g_last_result.ping_ms, 1.5);
    EXPECT_EQ(g_last_result.jitter_ms, 4.5);
    EXPECT_TRUE(json_has(server_text_));
    EXPECT_TRUE(json_has("\"phase\":\"upload\""));
    EXPECT_STREQ(linkrate_last_error(), "");
}

TEST_F(AgainstServer, ZeroDurationMeansTwoSeconds) {
    double start = platform::now_seconds();
    ASSERT_GT(linkrate_download(kHost, port_, 0), 0.0);
    EXPECT_GE(platform::now_seconds() - start, 2.0);
    EXPECT_TRUE(json_has("\"duration_ms\":2000"));
}

TEST_F(AgainstServer, OneMillisecondStillMovesABlock) {
    EXPECT_GT(linkrate_upload(kHost, port_, 1), 0.0);
    EXPECT_GT(linkrate_download(kHost, port_, -5), 0.0) << "negative: 2000 ms";
    EXPECT_EQ(g_last_result.duration_ms, 2000);
}

TEST_F(AgainstServer, FullRunCompletes) {
    ASSERT_EQ(linkrate_run_all(kHost, port_, 200), 0) << linkrate_last_error();
    EXPECT_GT(g_last_result.ping_ms, 0.0);
    EXPECT_GT(g_last_result.download_mbps, 0.0);
    EXPECT_GT(g_last_result.upload_mbps, 0.0);
    EXPECT_TRUE(json_has("\"duration_ms\":200"));
    EXPECT_TRUE(json_has(server_text_));
    EXPECT_TRUE(json_has("\"phase\":\"complete\"")) << json();
}

TEST_F(AgainstServer, CancelBeforeTheCallIsDiscarded) {
    linkrate_cancel();
    EXPECT_GT(linkrate_ping(kHost, port_, 2), 0.0);
    EXPECT_STREQ(linkrate_last_error(), "");
}

TEST_F(AgainstServer, CancelEndsEachTestWithItsPartialResult) {
    struct Case {
        const char* phase;
        double (*test)(const char*, int32_t, int32_t);
        int32_t argument;  // a count of pings, or a duration
    };
    const Case cases[] = {{"ping", linkrate_ping, 100000},
                          {"download", linkrate_download, 20000},
                          {"upload", linkrate_upload, 20000}};
    for (const Case& c : cases) {
        std::thread canceller = cancel_later(300);
        double start = platform::now_seconds();
        double result = c.test(kHost, port_, c.argument);
        double elapsed = platform::now_seconds() - start;
        canceller.join();
        EXPECT_GE(result, 0.0) << c.phase;
        EXPECT_LT(elapsed, 10.0) << c.phase;
        EXPECT_STREQ(linkrate_last_error(), msg::kCancelled) << c.phase;
        EXPECT_EQ(g_cancel_flag.load(), 1) << "the flag stays set: " << c.phase;
        EXPECT_STREQ(g_last_result.phase, c.phase);
    }
}

TEST_F(AgainstServer, CancelDuringTheRunsDownloadSkipsTheUpload) {
    std::thread canceller = cancel_later(300, [] {
        std::lock_guard<platform::Lock> hold(g_mutex);  // the run writes the record meanwhile
        return std::string(g_last_result.phase) == "ping";
    });
    EXPECT_EQ(linkrate_run_all(kHost, port_, 20000), -1);
    canceller.join();
    EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
    EXPECT_TRUE(json_has("\"phase\":\"download\"")) << json();
    EXPECT_EQ(g_last_result.upload_mbps, 0.0) << "the upload never ran";
    EXPECT_GT(g_last_result.download_mbps, 0.0);
}

// A cancel that lands after one test of the full run returned and before the
// next one started: the run stops there, and the next test never starts.
std::atomic<int> g_seam_calls{0};
std::atomic<int> g_cancel_at_call{0};

void cancel_at_chosen_gap() {
    if (++g_seam_calls == g_cancel_at_call.load()) linkrate_cancel();
}

TEST_F(AgainstServer, CancelBetweenTheRunsTestsIsKept) {
    const struct {
        int gap;                  // 1: after the ping, 2: after the download
        const char* phase_after;  // what the tests that ran left in the record
    } cases[] = {{1, "ping"}, {2, "download"}};
    g_before_next_lan_test.store(cancel_at_chosen_gap);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.gap);
        mark_record();
        g_seam_calls.store(0);
        g_cancel_at_call.store(c.gap);
        const double start = platform::now_seconds();
        EXPECT_EQ(linkrate_run_all(kHost, port_, 3000), -1);
        const double elapsed = platform::now_seconds() - start;
        EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
        EXPECT_STREQ(g_last_result.phase, c.phase_after);
        EXPECT_EQ(g_seam_calls.load(), c.gap) << "no further test after the cancel";
        EXPECT_GT(g_last_result.ping_ms, 0.0);
        EXPECT_NE(g_last_result.ping_ms, 1.5) << "the ping ran and recorded";
        EXPECT_EQ(g_last_result.upload_mbps, 3.5) << "the upload never ran";
        if (c.gap == 1) {
            EXPECT_EQ(g_last_result.download_mbps, 2.5) << "the download never ran";
            EXPECT_LT(elapsed, 2.5) << "neither transfer ran";
        } else {
            EXPECT_GT(g_last_result.download_mbps, 0.0);
            EXPECT_LT(elapsed, 5.5) << "the upload did not run";
        }
    }
    g_before_next_lan_test.store(nullptr);
}

TEST_F(AgainstServer, HundredsOfTestsLeaveNothingBehind) {
    for (int i = 0; i < 200; ++i) ASSERT_GT(linkrate_ping(kHost, port_, 1), 0.0);
    for (int i = 0; i < 50; ++i) {
        ASSERT_GE(linkrate_download(kHost, port_, 1), 0.0);
        ASSERT_GE(linkrate_upload(kHost, port_, 1), 0.0);
    }
    EXPECT_TRUE(eventually([&] { return thread_count() == base_threads_ + 1; }, 8000));
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == base_fds_ + 1; }, 8000));
}

// --- Bad input and failed connections ------------------------------------------------

// Each client test against host:port returns its failure with the message given.
void expect_every_test_fails(const char* host, int32_t port, const char* ping_message,
                             const char* transfer_message, const char* run_message) {
    SCOPED_TRACE(std::string(host ? host : "(null)") + ":" + std::to_string(port));
    EXPECT_EQ(linkrate_ping(host, port, 3), -1.0);
    EXPECT_STREQ(linkrate_last_error(), ping_message);
    EXPECT_EQ(linkrate_download(host, port, 100), -1.0);
    EXPECT_STREQ(linkrate_last_error(), transfer_message);
    EXPECT_EQ(linkrate_upload(host, port, 100), -1.0);
    EXPECT_STREQ(linkrate_last_error(), transfer_message);
    EXPECT_EQ(linkrate_run_all(host, port, 100), -1);
    EXPECT_STREQ(linkrate_last_error(), run_message);
}

TEST(ClientInput, InvalidHostOrPortTouchesNothing) {
    ASSERT_EQ(linkrate_init(), 0);
    mark_record();
    const std::string before = json();
    const struct {
        const char* host;
        int32_t port;
    } cases[] = {{nullptr, 5201}, {kHost, 0}, {kHost, -1}};
    for (const auto& c : cases) {
        linkrate_cancel();
        expect_every_test_fails(c.host, c.port, msg::kInvalidHostOrPort, msg::kInvalidHostOrPort,
                                msg::kInvalidHostOrPort);
        EXPECT_EQ(g_cancel_flag.load(), 1) << "not touched on this path";
    }
    EXPECT_EQ(json(), before);
}

TEST(ClientInput, UnreachablePeersFailWithTheirMessages) {
    ASSERT_EQ(linkrate_init(), 0);
    mark_record();
    const std::string before = json();
    RawConn closed_port = raw_listen(0);
    const int nobody = local_port(closed_port);
    closed_port.close();  // nothing listens there now: refused at once
    const struct {
        const char* host;
        int32_t port;
    } cases[] = {
        {kHost, 65536}, {kHost, 70000}, {kHost, nobody}, {"::1", nobody}, {"no such host", nobody}};
    for (const auto& c : cases) {
        double start = platform::now_seconds();
        expect_every_test_fails(c.host, c.port, msg::kNoPings, msg::kConnectFailed,
                                msg::kAllTestsFailed);
        if (c.port > 65535) {
            EXPECT_LT(platform::now_seconds() - start, 1.0) << "no network call, no pause";
        }
    }
    EXPECT_EQ(json(), before);
}

TEST(ClientInput, ServerTextIsCutToTheRecord) {
    std::string host(300, 'h');
    record_lan_result(host.c_str(), 5201, kPhasePing, [](TestResult&) {});
    EXPECT_EQ(std::string(g_last_result.server), host.substr(0, 255));
}

TEST(ClientInput, InjectedFailures) {
    ScriptedPeer peer([](RawConn& conn) { protocol_peer(conn, 'P'); });
    ASSERT_EQ(linkrate_init(), 0);
    platform::fail_next(platform::Fault::connect);
    EXPECT_GT(linkrate_ping(kHost, peer.port(), 2), 0.0) << "one of two attempts fails";
    EXPECT_EQ(peer.connections(), 1);

    platform::fail_next(platform::Fault::socket);
    EXPECT_EQ(linkrate_download(kHost, peer.port(), 50), -1.0);
    EXPECT_STREQ(linkrate_last_error(), msg::kConnectFailed);

    mark_record();
    platform::fail_next(platform::Fault::alloc);
    EXPECT_EQ(linkrate_upload(kHost, peer.port(), 50), -1.0);
    EXPECT_STREQ(linkrate_last_error(), msg::kOutOfMemory);
    platform::fail_next(platform::Fault::alloc);
    EXPECT_EQ(linkrate_download(kHost, peer.port(), 50), -1.0);
    EXPECT_STREQ(linkrate_last_error(), msg::kOutOfMemory);
    EXPECT_EQ(g_last_result.download_mbps, 2.5) << "record unchanged";
    EXPECT_EQ(g_last_result.upload_mbps, 3.5);
}

// --- Against scripted peers -----------------------------------------------------------

TEST(ClientPeer, WrongEchoFailsEveryPingWithPauses) {
    ScriptedPeer peer([](RawConn& conn) { protocol_peer(conn, 'Q'); });
    ASSERT_EQ(linkrate_init(), 0);
    double start = platform::now_seconds();
    EXPECT_EQ(linkrate_ping(kHost, peer.port(), 4), -1.0);
    EXPECT_GE(platform::now_seconds() - start, 0.06) << "three pauses of 20 ms";
    EXPECT_STREQ(linkrate_last_error(), msg::kNoPings);
    EXPECT_EQ(peer.connections(), 4);
    EXPECT_STREQ(g_last_result.phase, "idle");
}

TEST(ClientPeer, CloseRightAfterAcceptGivesZero) {
    ScriptedPeer peer([](RawConn& conn) { conn.close(); });
    ASSERT_EQ(linkrate_init(), 0);
    set_last_error(msg::kAllTestsFailed);
    EXPECT_EQ(linkrate_ping(kHost, peer.port(), 1), -1.0);
    set_last_error(msg::kAllTestsFailed);
    EXPECT_EQ(linkrate_download(kHost, peer.port(), 1000), 0.0);
    EXPECT_STREQ(linkrate_last_error(), msg::kAllTestsFailed) << "no text for a closed peer";
    EXPECT_TRUE(json_has("\"download_mbps\":0.0")) << json();
    EXPECT_TRUE(json_has("\"phase\":\"download\""));
    EXPECT_GE(linkrate_upload(kHost, peer.port(), 1000), 0.0);
    EXPECT_TRUE(json_has("\"phase\":\"upload\""));
    EXPECT_STREQ(linkrate_last_error(), msg::kAllTestsFailed);
}

TEST(ClientPeer, ResetMidStreamKeepsWhatArrived) {
    ScriptedPeer peer([](RawConn& conn) {
        conn.read_up_to(1);
        conn.send_fill(0x5A, 1 << 20);
        platform::sleep_ms(100);
        conn.close_with_reset();
    });
    ASSERT_EQ(linkrate_init(), 0);
    double mbps = linkrate_download(kHost, peer.port(), 5000);
    EXPECT_GT(mbps, 0.0);
    EXPECT_STREQ(linkrate_last_error(), "");
    EXPECT_EQ(g_last_result.download_mbps, mbps);
}

TEST(ClientPeer, UploadCountsOnlyWhatThePeerAcknowledged) {
    std::atomic<long> received{0};
    ScriptedPeer peer([&](RawConn& conn) {
        bool closed = false;
        received += static_cast<long>(conn.read_to_end(&closed).size());
    });
    ASSERT_EQ(linkrate_init(), 0);
    // The connection tells more bytes unacknowledged than it was handed:
    // nothing counts as arrived.
    platform::report_unacknowledged(1LL << 40);
    EXPECT_EQ(linkrate_upload(kHost, peer.port(), 200), 0.0);
    EXPECT_EQ(g_last_result.upload_mbps, 0.0);
    EXPECT_TRUE(json_has("\"phase\":\"upload\""));
    EXPECT_TRUE(eventually([&] { return received.load() > 65536; }, 5000)) << "blocks went out";
    platform::clear_faults();
    EXPECT_GT(linkrate_upload(kHost, peer.port(), 200), 0.0);
}

TEST(ClientPeer, UploadSendsOnlyFillBytesOnOneConnection) {
    std::atomic<long> good_bytes{0};
    std::atomic<long> bad_bytes{0};
    std::string command;
    ScriptedPeer peer([&](RawConn& conn) {
        command = conn.read_up_to(1);
        bool closed = false;
        std::string data = conn.read_to_end(&closed);
        good_bytes = std::count(data.begin(), data.end(), '\xA5');
        bad_bytes = static_cast<long>(data.size()) - good_bytes;
    });
    ASSERT_EQ(linkrate_init(), 0);
    EXPECT_GT(linkrate_upload(kHost, peer.port(), 200), 0.0);
    ASSERT_TRUE(eventually([&] { return good_bytes.load() > 0; }, 5000));
    EXPECT_EQ(command, "U");
    EXPECT_EQ(bad_bytes.load(), 0);
    EXPECT_EQ(good_bytes.load() % 65536, 0) << "whole blocks, bar a short last send";
    EXPECT_EQ(peer.connections(), 1);
}

TEST(ClientPeer, FullRunWithFailingPingStillCompletes) {
    ScriptedPeer peer([](RawConn& conn) { protocol_peer(conn, 'Q'); });
    ASSERT_EQ(linkrate_init(), 0);
    mark_record();
    EXPECT_EQ(linkrate_run_all(kHost, peer.port(), 100), 0);
    EXPECT_STREQ(linkrate_last_error(), msg::kNoPings);
    EXPECT_EQ(g_last_result.ping_ms, 1.5);
    EXPECT_TRUE(json_has("\"phase\":\"complete\""));
    EXPECT_EQ(peer.connections(), 5 + 2);
}

TEST(ClientPeer, CancelBeforeAnyPingSucceeded) {
    ScriptedPeer peer([](RawConn& conn) {
        conn.read_up_to(1);
        platform::sleep_ms(300);
        conn.send_byte('Q');
    });
    ASSERT_EQ(linkrate_init(), 0);
    std::thread canceller = cancel_later(100);
    EXPECT_EQ(linkrate_ping(kHost, peer.port(), 5), -1.0);
    canceller.join();
    EXPECT_STREQ(linkrate_last_error(), msg::kNoPings);
    EXPECT_EQ(peer.connections(), 1) << "the attempt under way completes; no other starts";
}

// --- The connection itself -----------------------------------------------------------

TEST(Connect, ReturnsATunedBlockingSocket) {
    RawConn listener = raw_listen(0);
    platform::Socket socket = connect_to_host(kHost, local_port(listener), 2000);
    ASSERT_TRUE(socket);
    EXPECT_EQ(fcntl(socket.get(), F_GETFL) & O_NONBLOCK, 0);
    int no_delay = 0;
    socklen_t length = sizeof no_delay;
    getsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &no_delay, &length);
    EXPECT_EQ(no_delay, 1);
    timeval timeout{};
    length = sizeof timeout;
    getsockopt(socket.get(), SOL_SOCKET, SO_RCVTIMEO, &timeout, &length);
    EXPECT_EQ(timeout.tv_sec, 5);
    getsockopt(socket.get(), SOL_SOCKET, SO_SNDTIMEO, &timeout, &length);
    EXPECT_EQ(timeout.tv_sec, 5);
}

TEST(Connect, WaitsOnlyWholeSeconds) {
    // A listener whose queue is full drops further connection requests, so a
    // connection stays under way.
    RawConn listener = raw_listen(0, 0);
    int port = local_port(listener);
    RawConn queued = raw_connect(port);
    ASSERT_TRUE(queued);
    const struct {
        int timeout_ms;
        double at_least, below;
    } cases[] = {{999, 0.0, 0.5}, {1999, 0.95, 1.9}};
    for (const auto& c : cases) {
        double start = platform::now_seconds();
        EXPECT_FALSE(connect_to_host(kHost, port, c.timeout_ms));
        double elapsed = platform::now_seconds() - start;
        EXPECT_GE(elapsed, c.at_least) << c.timeout_ms;
        EXPECT_LT(elapsed, c.below) << c.timeout_ms;
    }
}

// --- The ping's attempt loop, with a stand-in attempt -------------------------------

namespace {

struct LoopRun {
    int attempts = 0;
    int pauses = 0;
    PingTally tally;
};

// Runs the loop for `count` attempts whose outcome `outcome(attempt)` gives
// (attempt counts from 1). An attempt beyond `count` asks for a cancel, so a
// loop that runs on stops at its next check instead of running without end.
template <class Count>
LoopRun run_loop(Count count, const std::function<PingOutcome(int)>& outcome) {
    g_cancel_flag.store(0);
    LoopRun run;
    run.tally = run_ping_attempts(
        count,
        [&](double* round_trip_ms) {
            ++run.attempts;
            if (run.attempts > static_cast<int>(count)) linkrate_cancel();
            *round_trip_ms = 2.0;
            return outcome(run.attempts);
        },
        [&] { ++run.pauses; });
    return run;
}

}  // namespace

// Every count ends after exactly its attempts, up to the largest count of the
// counter's type, whether the last attempt connected or not.
TEST(PingAttempts, EveryCountEndsAfterItsAttempts) {
    ASSERT_EQ(linkrate_init(), 0);
    struct Pattern {
        const char* name;
        PingOutcome (*outcome)(int attempt, int count);
        bool pauses;  // whether connected attempts leave pauses between them
        bool counts;  // whether the attempts count as successes
    };
    const Pattern patterns[] = {
        {"no connection", [](int, int) { return PingOutcome::no_connection; }, false, false},
        {"replied", [](int, int) { return PingOutcome::replied; }, true, true},
        {"wrong echo", [](int, int) { return PingOutcome::failed; }, true, false},
        {"last without connection",
         [](int a, int n) { return a == n ? PingOutcome::no_connection : PingOutcome::replied; },
         true, true},
    };
    for (const Pattern& p : patterns) {
        for (int count : {1, 2, 5, 1000}) {
            LoopRun run = run_loop(count, [&](int a) { return p.outcome(a, count); });
            EXPECT_EQ(run.attempts, count) << p.name << ", count " << count;
            EXPECT_EQ(run.pauses, p.pauses ? count - 1 : 0) << p.name << ", count " << count;
            const bool last_missing = p.outcome(count, count) != PingOutcome::replied;
            EXPECT_EQ(run.tally.successes, p.counts ? count - (last_missing ? 1 : 0) : 0)
                << p.name << ", count " << count;
        }
        // The largest count of an 8-bit counter: the attempt number would
        // overflow after the last attempt; the loop must end there all the same.
        constexpr std::int8_t kMax = INT8_MAX;
        LoopRun run = run_loop(kMax, [&](int a) { return p.outcome(a, kMax); });
        EXPECT_EQ(run.attempts, kMax) << p.name << ", largest count";
        EXPECT_EQ(g_cancel_flag.load(), 0) << p.name << ": the loop ran past its count";
    }
}

TEST(PingAttempts, CancelDuringAnAttemptEndsTheLoopAfterIt) {
    ASSERT_EQ(linkrate_init(), 0);
    for (PingOutcome outcome : {PingOutcome::replied, PingOutcome::no_connection}) {
        LoopRun run = run_loop(5, [&](int a) {
            if (a == 3) linkrate_cancel();
            return outcome;
        });
        EXPECT_EQ(run.attempts, 3);
        EXPECT_EQ(run.pauses, outcome == PingOutcome::replied ? 2 : 0) << "none after the cancel";
        EXPECT_STREQ(linkrate_last_error(), msg::kCancelled);
        // During the last attempt, a cancel changes nothing; the flag stays set.
        set_last_error("");
        run = run_loop(3, [&](int a) {
            if (a == 3) linkrate_cancel();
            return outcome;
        });
        EXPECT_EQ(run.attempts, 3);
        EXPECT_STREQ(linkrate_last_error(), "");
        EXPECT_EQ(g_cancel_flag.load(), 1);
    }
}
