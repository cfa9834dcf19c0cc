// TCP sockets over IPv4, as the LAN test uses them. Every call that can block
// is bounded: readiness waits by their time-out, sends and receives by the
// socket's own send and receive time-outs. A signal that interrupts a call
// resumes it within what is left of its bound, so a host's periodic signals
// can neither fail a call nor stretch it.
#pragma once

#include <cstddef>
#include <cstdint>

// The port defines SocketHandle, the system's own socket type, and
// kInvalidSocket, the value that stands for no socket. Code above the
// platform only stores, compares and passes them.
#if defined(LINKRATE_PLATFORM_POSIX)
#include "platform/posix/socket_handle.h"
#elif defined(LINKRATE_PLATFORM_WIN32)
#include "platform/win32/socket_handle.h"
#else
#error "no platform port chosen (src/platform/CMakeLists.txt defines LINKRATE_PLATFORM_<NAME>)"
#endif

namespace linkrate::platform {

// Closes `handle` without a shutdown; the result is ignored.
void socket_close(SocketHandle handle);
// Shuts both directions down; the result is ignored. The handle stays open.
void socket_shutdown(SocketHandle handle);

// Owns one socket for a scope. Dropping it closes the socket without a
// shutdown (the ending of a failed attempt); an exchange that ran its course
// ends with shutdown_and_close().
class Socket {
public:
    Socket() = default;
    explicit Socket(SocketHandle handle) : handle_(handle) {}
    Socket(Socket&& other) noexcept : handle_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) {
            close();
            handle_ = other.release();
        }
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { close(); }

    SocketHandle get() const { return handle_; }
    explicit operator bool() const { return handle_ != kInvalidSocket; }
    // Gives up ownership without closing.
    SocketHandle release() {
        SocketHandle handle = handle_;
        handle_ = kInvalidSocket;
        return handle;
    }
    void close() {
        if (handle_ != kInvalidSocket) socket_close(release());
    }
    void shutdown_and_close() {
        if (handle_ != kInvalidSocket) socket_shutdown(handle_);
        close();
    }

private:
    SocketHandle handle_ = kInvalidSocket;
};

// --- Creation and options ------------------------------------------------------

// A new IPv4 TCP socket, or an empty Socket (also when a test asked for that,
// Fault::socket).
Socket socket_create_tcp();
// A new socket, not inherited by child processes, of the given family, type and protocol (the
// system's numbers), or an empty Socket (also Fault::socket).
Socket socket_create(int family, int type, int protocol);

enum class SocketOption {
    no_delay,  // TCP_NODELAY, 0 or 1
    // What a listening socket needs of its port, 0 or 1: SO_REUSEADDR on POSIX,
    // so a restart binds while old connections linger in TIME_WAIT;
    // SO_EXCLUSIVEADDRUSE on Windows, where SO_REUSEADDR would let a second
    // listener bind a port that is already listening.
    listener_address,
    receive_buffer,      // SO_RCVBUF, bytes
    send_buffer,         // SO_SNDBUF, bytes
    receive_timeout_ms,  // SO_RCVTIMEO, milliseconds (0: none)
    send_timeout_ms,     // SO_SNDTIMEO, milliseconds (0: none)
};
// Returns 0, or -1 when the system refused the value.
int socket_set_option(SocketHandle handle, SocketOption option, int value);

// Switches between blocking (true) and non-blocking mode; the result is ignored.
void socket_set_blocking(SocketHandle handle, bool blocking);

// --- Server side -------------------------------------------------------------------

// Binds to every local IPv4 address at `port` and listens with `backlog`.
// Returns 0, or -1 when the bind or the listen failed. The listening socket
// is made non-blocking, so socket_accept() never waits.
int socket_listen_any_ipv4(SocketHandle handle, unsigned short port, int backlog);

// Takes one pending connection (no peer address) as a blocking socket, or
// returns an empty Socket when none is pending or the accept failed.
Socket socket_accept(SocketHandle listening);

// --- Client side -------------------------------------------------------------------

// The first IPv4 stream address that name resolution gave for a host.
struct ResolvedAddress {
    int family = 0;
    int type = 0;
    int protocol = 0;
    unsigned length = 0;
    alignas(8) unsigned char bytes[128] = {};
};

// Resolves `host` with `service` (a port in decimal) for IPv4 stream
// addresses only and keeps the first one. False when resolution failed or gave
// no address. Waits as long as the system's resolver takes.
bool resolve_first_ipv4(const char* host, const char* service, ResolvedAddress* out);

// A new socket of the address's family, type and protocol, or an empty Socket
// (also Fault::socket).
Socket socket_create_for(const ResolvedAddress& address);

enum class ConnectStart { connected, in_progress, failed };
// Starts connecting a non-blocking socket. A connect interrupted by a signal
// is in progress, never repeated. Fault::connect makes it fail.
ConnectStart socket_connect_start(SocketHandle handle, const ResolvedAddress& address);

// The socket's pending error (SO_ERROR) into *error; returns 0, or -1 when it
// cannot be read.
int socket_pending_error(SocketHandle handle, int* error);

// --- Waiting and transfer ------------------------------------------------------

// What a readiness wait asks for and what it found. `error` stands for an
// error or hang-up condition on the socket; it is always reported.
struct Readiness {
    bool readable = false;
    bool writable = false;
    bool error = false;
};

// Waits until the socket shows what `want` asks for, or an error condition,
// for at most `timeout_ms` (0: only looks). Returns 1 with *found filled in,
// 0 on time-out, -1 on failure.
int socket_wait(SocketHandle handle, Readiness want, int timeout_ms, Readiness* found);

// Sends up to `size` bytes (never raising SIGPIPE). Returns the count handed
// to the system (which may be less than `size`), or -1 on failure, also when
// the socket's send time-out ran out with nothing sent.
long socket_send(SocketHandle handle, const void* data, std::size_t size);

// Receives up to `size` bytes. Returns the count, 0 when the peer closed, or
// -1 on failure, also when the socket's receive time-out ran out.
long socket_recv(SocketHandle handle, void* data, std::size_t size);

// Bytes written to a TCP connection that the peer has not acknowledged yet:
// still queued, or sent and not yet acknowledged. It still answers after the
// peer closed or reset the connection, until the socket is closed. 0 where
// the system cannot tell (the count then stays that of bytes handed over).
// A test can make every socket report a count of its choosing
// (report_unacknowledged in platform.h).
std::uint64_t socket_unacknowledged_bytes(SocketHandle handle);

}  // namespace linkrate::platform
