// The platform layer's sockets: signals neither fail nor stretch a send or a
// receive, and a send to a closed peer never raises SIGPIPE. Also the tests'
// own connect helper, which signals must not fail either.
#include "platform/socket.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "raw_socket.h"
#include "test_support.h"

using namespace linkrate;
using namespace linkrate::platform;
using namespace linkrate::test;

namespace {

// Interrupts one thread with a signal every few milliseconds. The handler is
// installed without SA_RESTART, so every blocking call it hits fails with EINTR.
class SignalStorm {
public:
    explicit SignalStorm(pthread_t target) : target_(target) {
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        sigaction(SIGUSR1, &action, &previous_);
        thread_ = std::thread([this] {
            while (!stop_) {
                pthread_kill(target_, SIGUSR1);
                sleep_ms(5);
            }
        });
    }
    ~SignalStorm() {
        stop_ = true;
        thread_.join();
        sigaction(SIGUSR1, &previous_, nullptr);
    }

private:
    pthread_t target_;
    struct sigaction previous_ {};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A connected pair on loopback: the library's side as a platform Socket.
struct Pair {
    RawConn listener = raw_listen(0);
    RawConn peer;
    Socket mine;

    Pair() {
        Socket client = socket_create_tcp();
        RawConn accepted;
        ResolvedAddress address;
        std::string port = std::to_string(local_port(listener));
        if (!client || !resolve_first_ipv4("127.0.0.1", port.c_str(), &address)) return;
        if (socket_connect_start(client.get(), address) != ConnectStart::connected) return;
        peer = RawConn(accept(listener.fd(), nullptr, nullptr));
        mine = std::move(client);
    }
};

}  // namespace

TEST(Socket, ReceiveTimeOutHoldsUnderSignals) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    socket_set_option(pair.mine.get(), SocketOption::receive_timeout_ms, 300);
    char byte = 0;
    double start = now_seconds();
    long n;
    {
        SignalStorm storm(pthread_self());
        n = socket_recv(pair.mine.get(), &byte, 1);
    }
    double elapsed = now_seconds() - start;
    EXPECT_EQ(n, -1);
    EXPECT_GE(elapsed, 0.29);
    EXPECT_LT(elapsed, 2.0) << "each signal must not restart the time-out";
}

TEST(Socket, ReceiveResumedAfterSignalsGetsTheData) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    socket_set_option(pair.mine.get(), SocketOption::receive_timeout_ms, 3000);
    std::thread sender([&] {
        sleep_ms(200);
        pair.peer.send_byte('Q');
    });
    char byte = 0;
    long n;
    {
        SignalStorm storm(pthread_self());
        n = socket_recv(pair.mine.get(), &byte, 1);
    }
    sender.join();
    EXPECT_EQ(n, 1);
    EXPECT_EQ(byte, 'Q');
}

TEST(Socket, SendTimeOutHoldsUnderSignals) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    socket_set_option(pair.mine.get(), SocketOption::send_timeout_ms, 300);
    std::string block(65536, 'x');
    // The peer never reads: the buffers fill up and a send stalls.
    long n = 1;
    double start = 0;
    {
        SignalStorm storm(pthread_self());
        for (int i = 0; i < 10000 && n > 0; ++i) {
            start = now_seconds();
            n = socket_send(pair.mine.get(), block.data(), block.size());
        }
    }
    double elapsed = now_seconds() - start;
    EXPECT_EQ(n, -1);
    EXPECT_LT(elapsed, 2.0) << "each signal must not restart the time-out";
}

TEST(Socket, SendToAClosedPeerFailsWithoutSigpipe) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    pair.peer.close();
    std::string block(65536, 'x');
    long n = 1;
    for (int i = 0; i < 100 && n > 0; ++i)
        n = socket_send(pair.mine.get(), block.data(), block.size());
    EXPECT_EQ(n, -1);  // and the process is still alive
}

TEST(Socket, CreationFaultAndShutdownAndClose) {
    fail_next(Fault::socket);
    EXPECT_FALSE(socket_create_tcp());
    Socket sock = socket_create_tcp();
    ASSERT_TRUE(sock);
    sock.shutdown_and_close();
    EXPECT_FALSE(sock);
}

// A connect that has to wait, hit by signals: the listener's queue is full, so
// the first SYN is dropped and the connect blocks until the retry a second
// later, after the queue has made room. Each signal interrupts the connect;
// the helper waits for the connection it left in progress.
TEST(LoopbackConnect, WaitsForAConnectThatSignalsInterrupt) {
    RawConn listener = raw_listen(0, 0);  // a queue of one connection
    ASSERT_TRUE(listener);
    const int port = local_port(listener);
    RawConn queued(connect_loopback(port));
    ASSERT_TRUE(queued);
    std::thread make_room([&] {
        sleep_ms(300);
        RawConn taken(accept(listener.fd(), nullptr, nullptr));
    });
    int fd = -1;
    {
        SignalStorm storm(pthread_self());
        fd = connect_loopback(port, 10000);
    }
    make_room.join();
    RawConn connected(fd);
    EXPECT_TRUE(connected) << "a signal failed the connect";
}

TEST(Socket, UnacknowledgedBytesAreWhatThePeerHasNotTaken) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    EXPECT_EQ(socket_unacknowledged_bytes(pair.mine.get()), 0u) << "nothing sent yet";

    // The peer does not read: once its window is full, what the sender still
    // holds is not acknowledged.
    socket_set_option(pair.mine.get(), SocketOption::send_timeout_ms, 200);
    std::string block(65536, 'x');
    std::uint64_t sent = 0;
    for (long n = 1; n > 0 && sent < (64u << 20);) {
        n = socket_send(pair.mine.get(), block.data(), block.size());
        if (n > 0) sent += static_cast<std::uint64_t>(n);
    }
    const std::uint64_t stalled = socket_unacknowledged_bytes(pair.mine.get());
    EXPECT_GT(stalled, 0u);
    EXPECT_LT(stalled, sent);

    // A reset drops the queue, but what never arrived is still told.
    pair.peer.close_with_reset();
    while (socket_send(pair.mine.get(), block.data(), 1) > 0) sleep_ms(1);
    EXPECT_EQ(socket_unacknowledged_bytes(pair.mine.get()), stalled);

    // The seam replaces the system's answer until the faults are cleared.
    report_unacknowledged(12345);
    EXPECT_EQ(socket_unacknowledged_bytes(pair.mine.get()), 12345u);
    clear_faults();
    EXPECT_EQ(socket_unacknowledged_bytes(pair.mine.get()), stalled);
}

TEST(Socket, UnacknowledgedBytesDrainOnceThePeerReads) {
    Pair pair;
    ASSERT_TRUE(pair.mine && pair.peer);
    std::string block(65536, 'x');
    ASSERT_EQ(socket_send(pair.mine.get(), block.data(), block.size()), 65536);
    EXPECT_EQ(pair.peer.read_up_to(65536).size(), 65536u);
    EXPECT_TRUE(
        eventually([&] { return socket_unacknowledged_bytes(pair.mine.get()) == 0; }, 2000));
}
