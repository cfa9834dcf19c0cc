// The LAN ping: one fresh connection per attempt, a one-byte command and its
// echo, timed from the moment the connection is established until the echo
// arrived.
#include "frame/messages.h"
#include "frame/state.h"
#include "lan/client.h"
#include "lan/connect.h"
#include "lan/ping_attempts.h"
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

// One attempt: a fresh connection, the exchange, and the end of the connection.
PingOutcome ping_once(const char* host, std::int32_t port, double* round_trip_ms) {
    platform::Socket socket = connect_to_host(host, port, kPingConnectTimeoutMs);
    if (!socket) return PingOutcome::no_connection;
    // One round trip: the connection's own set-up is not timed.
    const double start = platform::now_seconds();
    PingOutcome outcome = PingOutcome::failed;
    if (exchange_ping(socket.get())) {
        *round_trip_ms = (platform::now_seconds() - start) * 1000.0;
        outcome = PingOutcome::replied;
    }
    socket.shutdown_and_close();
    return outcome;
}

}  // namespace

double measure_ping(const char* host, std::int32_t port, std::int32_t count) {
    if (cancel_requested()) {
        set_last_error(msg::kCancelled);
        return -1.0;
    }
    if (count <= 0) count = kDefaultPings;
    const PingTally tally = run_ping_attempts(
        count, [&](double* round_trip_ms) { return ping_once(host, port, round_trip_ms); },
        [] { platform::sleep_ms(kPausePingMs); });
    if (tally.successes == 0) {
        set_last_error(msg::kNoPings);
        return -1.0;
    }
    double mean_ms = tally.sum_ms / tally.successes;
    record_lan_result(host, port, kPhasePing, [&](TestResult& r) { r.ping_ms = mean_ms; });
    return mean_ms;
}

}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API double linkrate_ping(const char* host, int32_t port,
                                             int32_t count) noexcept {
    return run_lan_test(measure_ping, host, port, count);
}
