#include "raw_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "test_support.h"

namespace linkrate::test {

RawConn& RawConn::operator=(RawConn&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void RawConn::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void RawConn::close_with_reset() {
    if (fd_ < 0) return;
    linger abort_on_close{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
    close();
}

void RawConn::set_read_timeout(int ms) {
    timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

void RawConn::shutdown_sending() { shutdown(fd_, SHUT_WR); }

bool RawConn::send_byte(unsigned char byte) { return ::send(fd_, &byte, 1, MSG_NOSIGNAL) == 1; }

bool RawConn::send_fill(unsigned char fill, std::size_t size) {
    std::string block(65536, static_cast<char>(fill));
    while (size > 0) {
        ssize_t n = ::send(fd_, block.data(), std::min(size, block.size()), MSG_NOSIGNAL);
        if (n <= 0) return false;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string RawConn::read_up_to(std::size_t size) {
    std::string data;
    char buf[65536];
    while (data.size() < size) {
        ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, size - data.size()), 0);
        if (n <= 0) break;
        data.append(buf, static_cast<std::size_t>(n));
    }
    return data;
}

std::string RawConn::read_to_end(bool* closed) {
    std::string data;
    char buf[65536];
    for (;;) {
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) {
            data.append(buf, static_cast<std::size_t>(n));
            continue;
        }
        // A reset counts as the peer closing too.
        *closed = n == 0 || errno == ECONNRESET;
        return data;
    }
}

RawConn raw_connect(int port) {
    RawConn conn(connect_loopback(port));
    if (!conn) return {};
    conn.set_read_timeout(10000);  // no test may hang on a read
    return conn;
}

RawConn raw_listen(int port, int backlog) {
    RawConn conn(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!conn) return {};
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(conn.fd(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(conn.fd(), backlog) != 0) {
        return {};
    }
    return conn;
}

int local_port(const RawConn& conn) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(conn.fd(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

ScriptedPeer::ScriptedPeer(std::function<void(RawConn&)> serve)
    : serve_(std::move(serve)), listening_(raw_listen(0)), port_(local_port(listening_)) {
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedPeer::~ScriptedPeer() {
    stopping_ = true;
    acceptor_.join();
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& server : servers_) server.join();
}

void ScriptedPeer::accept_loop() {
    while (!stopping_) {
        pollfd entry{listening_.fd(), POLLIN, 0};
        if (poll(&entry, 1, 20) <= 0) continue;
        int fd = accept4(listening_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        ++connections_;
        std::lock_guard<std::mutex> hold(lock_);
        servers_.emplace_back([this, fd] {
            RawConn conn(fd);
            conn.set_read_timeout(10000);
            serve_(conn);
        });
    }
}

}  // namespace linkrate::test
