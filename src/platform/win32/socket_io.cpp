// Readiness waits, sends and receives with Winsock, and what a connection has
// not delivered yet. Windows has no signals to interrupt them; the socket's
// own time-outs bound the transfers.
// The TCP_INFO query's declarations come with Windows 10 1703 (RS2); older
// systems refuse the query at run time, and the count is then 0.
#ifndef NTDDI_VERSION
#define NTDDI_VERSION 0x0A000003
#define _WIN32_WINNT 0x0A00
#endif

#include <climits>
#include <cstddef>

#include "platform/platform.h"
#include "platform/socket.h"
#include "platform/win32/windows.h"
// After windows.h: the TCP_INFO query.
#include <mstcpip.h>

namespace linkrate::platform {
namespace {

// Winsock's calls take an int count.
int chunk(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

int socket_wait(SocketHandle handle, Readiness want, int timeout_ms, Readiness* found) {
    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    if (want.readable) FD_SET(handle, &readable);
    if (want.writable) FD_SET(handle, &writable);
    // A connect that failed shows here, not as writable.
    FD_SET(handle, &failed);
    int ms = timeout_ms < 0 ? 0 : timeout_ms;
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    int n = select(0, &readable, &writable, &failed, &limit);
    if (n == SOCKET_ERROR) return -1;
    if (n == 0) return 0;
    found->readable = FD_ISSET(handle, &readable) != 0;
    found->writable = FD_ISSET(handle, &writable) != 0;
    found->error = FD_ISSET(handle, &failed) != 0;
    return 1;
}

long socket_send(SocketHandle handle, const void* data, std::size_t size) {
    int n = send(handle, static_cast<const char*>(data), chunk(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long socket_recv(SocketHandle handle, void* data, std::size_t size) {
    int n = recv(handle, static_cast<char*>(data), chunk(size), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

std::uint64_t socket_unacknowledged_bytes(SocketHandle handle) {
    std::uint64_t reported = 0;
    if (take_unacknowledged_report(&reported)) return reported;
    // Windows 10 1703 and later: the bytes sent and not yet acknowledged.
    // What still waits in the socket's send buffer is not in it, so a
    // Windows upload may count up to a buffer's worth that has not left yet.
    DWORD version = 0;
    TCP_INFO_v0 info{};
    DWORD returned = 0;
    if (WSAIoctl(handle, SIO_TCP_INFO, &version, sizeof version, &info, sizeof info, &returned,
                 nullptr, nullptr) == 0 &&
        returned >= sizeof info) {
        return info.BytesInFlight;
    }
    return 0;
}

}  // namespace linkrate::platform
