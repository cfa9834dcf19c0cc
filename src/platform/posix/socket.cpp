// Creation, options, listening, accepting, name resolution and connecting of
// the LAN test's sockets.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/platform.h"

namespace linkrate::platform {
namespace {

// Every socket is close-on-exec, so a host that starts another program does
// not hand it the library's connections.
Socket create(int family, int type, int protocol) {
    if (take_fault(Fault::socket)) return {};
    return Socket(::socket(family, type | SOCK_CLOEXEC, protocol));
}

int set_int(SocketHandle handle, int level, int name, int value) {
    return setsockopt(handle, level, name, &value, sizeof value) == 0 ? 0 : -1;
}

int set_timeout(SocketHandle handle, int name, int ms) {
    timeval tv{};
    tv.tv_sec = ms / 1000;
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000) * 1000;
    return setsockopt(handle, SOL_SOCKET, name, &tv, sizeof tv) == 0 ? 0 : -1;
}

}  // namespace

void socket_close(SocketHandle handle) {
    // Linux releases the descriptor even when close() reports EINTR, so it is
    // never repeated.
    ::close(handle);
}

void socket_shutdown(SocketHandle handle) { ::shutdown(handle, SHUT_RDWR); }

Socket socket_create_tcp() { return create(AF_INET, SOCK_STREAM, 0); }

Socket socket_create(int family, int type, int protocol) { return create(family, type, protocol); }

Socket socket_create_for(const ResolvedAddress& address) {
    return create(address.family, address.type, address.protocol);
}

int socket_set_option(SocketHandle handle, SocketOption option, int value) {
    switch (option) {
        case SocketOption::no_delay:
            return set_int(handle, IPPROTO_TCP, TCP_NODELAY, value);
        case SocketOption::listener_address:
            return set_int(handle, SOL_SOCKET, SO_REUSEADDR, value);
        case SocketOption::receive_buffer:
            return set_int(handle, SOL_SOCKET, SO_RCVBUF, value);
        case SocketOption::send_buffer:
            return set_int(handle, SOL_SOCKET, SO_SNDBUF, value);
        case SocketOption::receive_timeout_ms:
            return set_timeout(handle, SO_RCVTIMEO, value);
        case SocketOption::send_timeout_ms:
            return set_timeout(handle, SO_SNDTIMEO, value);
    }
    return -1;
}

void socket_set_blocking(SocketHandle handle, bool blocking) {
    int flags = fcntl(handle, F_GETFL, 0);
    if (flags < 0) return;
    fcntl(handle, F_SETFL, blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK));
}

int socket_listen_any_ipv4(SocketHandle handle, unsigned short port, int backlog) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(handle, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) return -1;
    if (listen(handle, backlog) != 0) return -1;
    // A connection that is reset between the readiness wait and the accept
    // must not leave the accept waiting.
    socket_set_blocking(handle, false);
    return 0;
}

Socket socket_accept(SocketHandle listening) {
    for (;;) {
        // Linux gives accepted sockets blocking mode whatever the listener's.
        int handle = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
        if (handle >= 0) return Socket(handle);
        if (errno != EINTR) return {};
    }
}

bool resolve_first_ipv4(const char* host, const char* service, ResolvedAddress* out) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    if (getaddrinfo(host, service, &hints, &list) != 0 || list == nullptr) return false;
    bool fits = list->ai_addrlen <= sizeof out->bytes;
    if (fits) {
        out->family = list->ai_family;
        out->type = list->ai_socktype;
        out->protocol = list->ai_protocol;
        out->length = list->ai_addrlen;
        std::memcpy(out->bytes, list->ai_addr, list->ai_addrlen);
    }
    freeaddrinfo(list);
    return fits;
}

ConnectStart socket_connect_start(SocketHandle handle, const ResolvedAddress& address) {
    if (take_fault(Fault::connect)) return ConnectStart::failed;
    if (connect(handle, reinterpret_cast<const sockaddr*>(address.bytes), address.length) == 0) {
        return ConnectStart::connected;
    }
    // An interrupted connect goes on in the background; repeating it would fail.
    if (errno == EINPROGRESS || errno == EINTR) return ConnectStart::in_progress;
    return ConnectStart::failed;
}

int socket_pending_error(SocketHandle handle, int* error) {
    socklen_t length = sizeof *error;
    return getsockopt(handle, SOL_SOCKET, SO_ERROR, error, &length) == 0 ? 0 : -1;
}

}  // namespace linkrate::platform
