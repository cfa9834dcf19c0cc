#include "lan/protocol.h"

namespace linkrate {

void set_socket_tuning(platform::SocketHandle socket) {
    using platform::SocketOption;
    platform::socket_set_option(socket, SocketOption::no_delay, 1);
    platform::socket_set_option(socket, SocketOption::receive_buffer, kSocketBufferBytes);
    platform::socket_set_option(socket, SocketOption::send_buffer, kSocketBufferBytes);
    platform::socket_set_option(socket, SocketOption::receive_timeout_ms, kSocketTimeoutMs);
    platform::socket_set_option(socket, SocketOption::send_timeout_ms, kSocketTimeoutMs);
}

}  // namespace linkrate
