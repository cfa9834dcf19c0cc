// The LAN ping: one fresh connection per attempt, a one-byte command and its
// echo, timed from the moment the connection is established until the echo
// arrived.
#include "frame/messages.h"
#include "frame/state.h"
#include "lan/client.h"
#include "lan/connect.h"
#include "lan/protocol.h"
#include "platform/platform.h"

namespace linkrate {
namespace {

constexpr int kDefaultPings = 5;
constexpr int kPingConnectTimeoutMs = 2000;
constexpr int kPausePingMs = 20;

// One command byte out, the same byte back.
bool exchange_ping(platform::SocketHandle socket) {
    if (platform::socket_send(socket, &kCommandPing, 1) != 1) return false;
    unsigned char reply = 0;
    return platform::socket_recv(socket, &reply, 1) == 1 && reply == kCommandPing;
}

}  // namespace
}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API double linkrate_ping(const char* host, int32_t port,
                                             int32_t count) noexcept {
    if (!lan_test_arguments_ok(host, port)) return -1.0;
    if (count <= 0) count = kDefaultPings;
    g_cancel_flag.store(0);

    int successes = 0;
    double sum_ms = 0.0;
    for (int attempt = 1; attempt <= count; ++attempt) {
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            break;
        }
        platform::Socket socket = connect_to_host(host, port, kPingConnectTimeoutMs);
        if (!socket) continue;  // no pause after a failed connection
        // One round trip: the connection's own set-up is not timed.
        double start = platform::now_seconds();
        if (exchange_ping(socket.get())) {
            sum_ms += (platform::now_seconds() - start) * 1000.0;
            ++successes;
        }
        socket.shutdown_and_close();
        if (attempt == count) break;
        if (!cancel_requested()) platform::sleep_ms(kPausePingMs);
        if (cancel_requested()) {
            set_last_error(msg::kCancelled);
            break;
        }
    }
    if (successes == 0) {
        set_last_error(msg::kNoPings);
        return -1.0;
    }
    double mean_ms = sum_ms / successes;
    record_lan_result(host, port, kPhasePing, [&](TestResult& r) { r.ping_ms = mean_ms; });
    return mean_ms;
}
