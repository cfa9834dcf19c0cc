#include "lan/connect.h"

#include <cstdio>

#include "lan/protocol.h"

namespace linkrate {

using platform::Socket;

Socket connect_to_host(const char* host, std::int32_t port, int timeout_ms) {
    if (port > 65535) return {};
    char port_text[16];
    std::snprintf(port_text, sizeof port_text, "%d", port);
    platform::ResolvedAddress address;
    if (!platform::resolve_first_ipv4(host, port_text, &address)) return {};

    Socket socket = platform::socket_create_for(address);
    if (!socket) return {};
    set_socket_tuning(socket.get());
    platform::socket_set_blocking(socket.get(), false);

    switch (platform::socket_connect_start(socket.get(), address)) {
        case platform::ConnectStart::connected:
            platform::socket_set_blocking(socket.get(), true);
            return socket;
        case platform::ConnectStart::failed:
            return {};  // dropping `socket` closes it, without a shutdown
        case platform::ConnectStart::in_progress:
            break;
    }
    // The wait counts whole seconds only.
    platform::Readiness found;
    int ready =
        platform::socket_wait(socket.get(), {.writable = true}, timeout_ms / 1000 * 1000, &found);
    if (ready <= 0 || !found.writable || found.error) return {};
    int error = 0;
    if (platform::socket_pending_error(socket.get(), &error) != 0 || error != 0) return {};
    platform::socket_set_blocking(socket.get(), true);
    return socket;
}

}  // namespace linkrate
