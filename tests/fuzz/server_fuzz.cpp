// The built-in server's connection handling, fed arbitrary first bytes and
// payloads over loopback connections to the library's own server on 127.0.0.1.
//
// Input layout: a flags byte, then the bytes the client sends. Flags:
//   bits 0-1  how the client ends: 0 closes; 1 shuts its sending side down and
//             reads until the server closes; 2 closes with a reset; 3 reads
//             for a moment, then closes;
//   bit 2     sends its first 512 bytes in pieces of at most 7 bytes;
//   bit 3     repeats the bytes up to 192 KiB, an upload's worth of blocks.
//
// Properties: the server answers only as its protocol says (one "P" to a
// ping, 0x5A bytes to a download, nothing otherwise); it ends a connection
// whose client stopped sending within its socket time-outs; once the client
// is gone, the connection's descriptor and thread are gone too; and the
// server keeps accepting.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

#include "fuzz_check.h"
#include "lan/server.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

// Beyond the server's 5 s socket time-outs: waiting longer is a hang.
constexpr int kServerEndWaitMs = 7000;
// How long the client keeps sending before it moves on to its ending.
constexpr int kSendBudgetMs = 300;
constexpr int kReadMomentMs = 20;
constexpr std::size_t kRepeatedSize = 192 * 1024;
constexpr std::size_t kPieceSize = 7;
constexpr std::size_t kPiecedHead = 512;
// A download never ends by itself: the client stops reading after this much.
constexpr std::size_t kDownloadReadBudget = 256 * 1024;

int g_port = -1;

int ms_left(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// What the server sent, checked byte by byte as it arrives.
struct Reply {
    std::size_t count = 0;
    bool only_pings = true;     // every byte was 'P'
    bool only_download = true;  // every byte was 0x5A
    bool ended = false;         // the server closed (or reset) the connection
    bool reset = false;         // ... with a reset or another receive error

    // One receive of whatever is there, without waiting (a download streams
    // without end, so reading on until nothing is left might never stop).
    void drain(int fd) {
        if (ended) return;
        char buf[65536];
        ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            for (ssize_t i = 0; i < n; ++i) {
                only_pings = only_pings && buf[i] == 'P';
                only_download = only_download && static_cast<unsigned char>(buf[i]) == 0x5A;
            }
            count += static_cast<std::size_t>(n);
        } else if (n == 0) {
            ended = true;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            ended = true;
            reset = true;
        }
    }

    // Reads until the server ends the connection, `budget` bytes arrived, or
    // `wait_ms` passed.
    void read_until_end(int fd, std::size_t budget, int wait_ms) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
        while (!ended && count < budget) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, ms_left(deadline)) <= 0) {
                if (Clock::now() >= deadline) return;
                continue;
            }
            drain(fd);
        }
    }
};

// libFuzzer's timer signal can interrupt the connect; connect_loopback() then
// waits for the connection instead of failing.
int connect_to_server() {
    int fd = linkrate::test::connect_loopback(g_port);
    FUZZ_CHECK(fd >= 0);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, 1 /* TCP_NODELAY */, &one, sizeof one);
    return fd;
}

// Sends `bytes` in pieces, reading the server's bytes meanwhile so that a
// download cannot stall the client's sends; stops when the server ended the
// connection or the send budget ran out.
void send_all(int fd, const std::string& bytes, std::size_t piece, Reply& reply) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kSendBudgetMs);
    std::size_t sent = 0;
    while (sent < bytes.size() && !reply.ended) {
        const int wait = ms_left(deadline);
        if (wait == 0) return;
        pollfd p{fd, POLLIN | POLLOUT, 0};
        if (poll(&p, 1, wait) <= 0) continue;
        if (p.revents & (POLLIN | POLLERR | POLLHUP)) reply.drain(fd);
        if (reply.ended || !(p.revents & POLLOUT)) continue;
        // Pieces for the head only: a long payload in tiny pieces would spend
        // the whole budget on system calls.
        const std::size_t limit = sent < kPiecedHead ? piece : bytes.size();
        const std::size_t n = std::min(limit, bytes.size() - sent);
        ssize_t r = send(fd, bytes.data() + sent, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += static_cast<std::size_t>(r);
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return;  // the server reset the connection
        }
    }
}

// Polls finely: every input waits here for its connection to be served and
// closed and for its connection thread to end. The server accepts in a
// thread of its own, so a connection whose client has already left may not
// have been accepted yet: without waiting for the count of served
// connections, its thread could still be streaming during the next input,
// whose allocation check would then see that thread's buffer.
bool settles(std::uint64_t ended_before, int descriptors, int threads) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(kServerEndWaitMs);
    while (linkrate::g_server_connections_ended.load() == ended_before ||
           linkrate::test::open_descriptor_count() > descriptors ||
           linkrate::test::thread_count() > threads) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FUZZ_CHECK(linkrate_init() == 0);
    g_port = linkrate::test::start_server_on_free_port();
    FUZZ_CHECK(g_port > 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return -1;
    const std::uint8_t flags = data[0];
    const int ending = flags & 3;
    const std::size_t piece = (flags & 4) ? kPieceSize : kRepeatedSize;
    std::string bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    if ((flags & 8) && !bytes.empty()) {
        const std::string unit = bytes;
        while (bytes.size() < kRepeatedSize) bytes += unit;
    }

    const int descriptors = linkrate::test::open_descriptor_count();
    const int threads = linkrate::test::thread_count();
    const std::uint64_t ended_before = linkrate::g_server_connections_ended.load();

    const int fd = connect_to_server();
    Reply reply;
    send_all(fd, bytes, piece, reply);
    const unsigned char command = bytes.empty() ? 0 : static_cast<unsigned char>(bytes[0]);

    switch (ending) {
        case 1:
            shutdown(fd, SHUT_WR);
            if (command == 'D') {
                reply.read_until_end(fd, kDownloadReadBudget, kSendBudgetMs);
            } else {
                // Nothing more comes from the client, so the server must end the
                // connection: at once, or after its receive time-out.
                reply.read_until_end(fd, SIZE_MAX, kServerEndWaitMs);
                FUZZ_CHECK(reply.ended);
            }
            break;
        case 2: {
            linger abortive{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            break;
        }
        case 3:
            reply.read_until_end(fd, kDownloadReadBudget, kReadMomentMs);
            break;
        default:
            break;
    }
    reply.drain(fd);
    close(fd);

    if (command == 'P') {
        FUZZ_CHECK(reply.count <= 1 && reply.only_pings);
        // A lone ping whose client waited for the end gets its answer in full.
        if (bytes.size() == 1 && ending == 1) {
            FUZZ_CHECK(reply.count == 1 && reply.ended && !reply.reset);
        }
    } else if (command == 'D') {
        FUZZ_CHECK(reply.only_download);
    } else {
        FUZZ_CHECK(reply.count == 0);
    }

    // The connection's thread ends and closes its socket, however the client left.
    FUZZ_CHECK(settles(ended_before, descriptors, threads));
    return 0;
}
