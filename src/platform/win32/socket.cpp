// Creation, options, listening, accepting, name resolution and connecting of
// the LAN test's sockets, with Winsock.
#include "platform/socket.h"

#include <cstring>
#include <type_traits>

#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

static_assert(std::is_same_v<SocketHandle, SOCKET>);
static_assert(kInvalidSocket == INVALID_SOCKET);

namespace {

// Every socket is kept from child processes, so a host that starts another
// program does not hand it the library's connections. Overlapped, as
// socket() makes them, so the send and receive time-outs apply.
Socket create(int family, int type, int protocol) {
    if (take_fault(Fault::socket)) return {};
    return Socket(WSASocketW(family, type, protocol, nullptr, 0,
                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

int set_int(SocketHandle handle, int level, int name, int value) {
    return setsockopt(handle, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0
               ? 0
               : -1;
}

// Winsock takes its time-outs as a DWORD of milliseconds.
int set_timeout(SocketHandle handle, int name, int ms) {
    DWORD value = ms < 0 ? 0 : static_cast<DWORD>(ms);
    return setsockopt(handle, SOL_SOCKET, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0
               ? 0
               : -1;
}

}  // namespace

void socket_close(SocketHandle handle) { closesocket(handle); }

void socket_shutdown(SocketHandle handle) { shutdown(handle, SD_BOTH); }

Socket socket_create_tcp() { return create(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

Socket socket_create(int family, int type, int protocol) { return create(family, type, protocol); }

Socket socket_create_for(const ResolvedAddress& address) {
    return create(address.family, address.type, address.protocol);
}

int socket_set_option(SocketHandle handle, SocketOption option, int value) {
    switch (option) {
        case SocketOption::no_delay:
            return set_int(handle, IPPROTO_TCP, TCP_NODELAY, value);
        case SocketOption::listener_address:
            // SO_REUSEADDR would let a second socket bind the port while this
            // one listens on it.
            return set_int(handle, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, value);
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
    u_long non_blocking = blocking ? 0 : 1;
    ioctlsocket(handle, FIONBIO, &non_blocking);
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
    Socket accepted(accept(listening, nullptr, nullptr));
    // An accepted socket inherits the listener's non-blocking mode on Windows.
    if (accepted) socket_set_blocking(accepted.get(), true);
    return accepted;
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
        out->length = static_cast<unsigned>(list->ai_addrlen);
        std::memcpy(out->bytes, list->ai_addr, list->ai_addrlen);
    }
    freeaddrinfo(list);
    return fits;
}

ConnectStart socket_connect_start(SocketHandle handle, const ResolvedAddress& address) {
    if (take_fault(Fault::connect)) return ConnectStart::failed;
    if (connect(handle, reinterpret_cast<const sockaddr*>(address.bytes),
                static_cast<int>(address.length)) == 0) {
        return ConnectStart::connected;
    }
    return WSAGetLastError() == WSAEWOULDBLOCK ? ConnectStart::in_progress : ConnectStart::failed;
}

int socket_pending_error(SocketHandle handle, int* error) {
    int length = sizeof *error;
    return getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(error), &length) == 0
               ? 0
               : -1;
}

}  // namespace linkrate::platform
