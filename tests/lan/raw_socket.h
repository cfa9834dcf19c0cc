// Plain TCP on loopback for the LAN tests: raw clients that speak the wire
// protocol by hand, and a list of the ports this process listens on.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linkrate::test {

// One blocking TCP connection, closed when dropped.
class RawConn {
public:
    RawConn() = default;
    explicit RawConn(int fd) : fd_(fd) {}
    RawConn(RawConn&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    RawConn& operator=(RawConn&& other) noexcept;
    RawConn(const RawConn&) = delete;
    RawConn& operator=(const RawConn&) = delete;
    ~RawConn() { close(); }

    int fd() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void close();
    // Closes with a reset (SO_LINGER of 0) instead of an orderly close.
    void close_with_reset();

    // Receive time-out of every later read, in milliseconds.
    void set_read_timeout(int ms);
    void shutdown_sending();
    bool send_byte(unsigned char byte);
    // Sends `size` bytes of `fill`; false when a send fails.
    bool send_fill(unsigned char fill, std::size_t size);
    // Reads until `size` bytes arrived, the peer closed, or a read failed.
    std::string read_up_to(std::size_t size);
    // Reads until the peer closes; what arrived, and whether it closed (as
    // opposed to a read that failed or timed out).
    std::string read_to_end(bool* closed);

private:
    int fd_ = -1;
};

// Connects to 127.0.0.1:port; an empty RawConn when that fails.
RawConn raw_connect(int port);

// A socket listening on all IPv4 addresses at `port` (0: the system's
// choice), without SO_REUSEADDR; an empty RawConn when that fails.
RawConn raw_listen(int port, int backlog = 64);
// The local port of a socket.
int local_port(const RawConn& conn);

// A peer for the client tests: listens on 127.0.0.1 and hands every accepted
// connection to `serve` on a thread of its own. Dropping it stops accepting
// and waits for those threads.
class ScriptedPeer {
public:
    explicit ScriptedPeer(std::function<void(RawConn&)> serve);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int port() const { return port_; }
    int connections() const { return connections_.load(); }

private:
    void accept_loop();

    std::function<void(RawConn&)> serve_;
    RawConn listening_;
    int port_ = 0;
    std::atomic<int> connections_{0};
    std::atomic<bool> stopping_{false};
    std::thread acceptor_;
    std::mutex lock_;
    std::vector<std::thread> servers_;
};

}  // namespace linkrate::test
