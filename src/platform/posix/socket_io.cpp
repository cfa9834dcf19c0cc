// Readiness waits, sends and receives, resumed after a signal within what is
// left of their bound, and what a connection has not delivered yet.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <cmath>
#if __has_include(<linux/sockios.h>)
#include <linux/sockios.h>
#endif

#include "platform/platform.h"
#include "platform/socket.h"

namespace linkrate::platform {
namespace {

// Milliseconds left of `limit_ms` since `start`, rounded up so that a wait
// never ends early; 0 once the limit has passed.
int ms_left(double start, int limit_ms) {
    double left = limit_ms - (now_seconds() - start) * 1000.0;
    return left <= 0.0 ? 0 : static_cast<int>(std::ceil(left));
}

// poll() on one socket for at most `timeout_ms` (negative: without bound),
// resumed after a signal with the time left. Returns poll's result.
int poll_one(SocketHandle handle, short events, int timeout_ms, short* revents) {
    double start = now_seconds();
    for (;;) {
        pollfd entry{handle, events, 0};
        int wait_ms = timeout_ms < 0 ? -1 : ms_left(start, timeout_ms);
        int n = poll(&entry, 1, wait_ms);
        if (n >= 0 || errno != EINTR) {
            *revents = entry.revents;
            return n;
        }
    }
}

// The socket's SO_RCVTIMEO or SO_SNDTIMEO in milliseconds; -1 when none is set.
int socket_timeout_ms(SocketHandle handle, int option) {
    timeval tv{};
    socklen_t length = sizeof tv;
    if (getsockopt(handle, SOL_SOCKET, option, &tv, &length) != 0) return -1;
    if (tv.tv_sec == 0 && tv.tv_usec == 0) return -1;
    return static_cast<int>(tv.tv_sec * 1000 + (tv.tv_usec + 999) / 1000);
}

// Runs a blocking transfer call. When a signal interrupts it before any byte
// moved, waits for readiness within what is left of the socket's own
// time-out (measured from this call's start) and tries again without
// blocking, so the time-out is never restarted.
template <class Transfer>
long resumed_transfer(SocketHandle handle, short event, int timeout_option, Transfer transfer) {
    double start = now_seconds();
    long n = transfer(0);
    if (n >= 0 || errno != EINTR) return n;
    int limit_ms = socket_timeout_ms(handle, timeout_option);
    for (;;) {
        short revents = 0;
        int ready = poll_one(handle, event, limit_ms < 0 ? -1 : ms_left(start, limit_ms), &revents);
        if (ready == 0) {
            errno = EAGAIN;  // the socket's time-out ran out
            return -1;
        }
        if (ready < 0) return -1;
        // Ready or in an error state: the call itself reports which.
        n = transfer(MSG_DONTWAIT);
        if (n >= 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return n;
    }
}

}  // namespace

int socket_wait(SocketHandle handle, Readiness want, int timeout_ms, Readiness* found) {
    short events = static_cast<short>((want.readable ? POLLIN : 0) | (want.writable ? POLLOUT : 0));
    short revents = 0;
    int n = poll_one(handle, events, timeout_ms < 0 ? 0 : timeout_ms, &revents);
    if (n <= 0) return n;
    found->readable = (revents & POLLIN) != 0;
    found->writable = (revents & POLLOUT) != 0;
    found->error = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    return 1;
}

long socket_send(SocketHandle handle, const void* data, std::size_t size) {
    return resumed_transfer(handle, POLLOUT, SO_SNDTIMEO, [&](int flags) {
        return static_cast<long>(::send(handle, data, size, flags | MSG_NOSIGNAL));
    });
}

long socket_recv(SocketHandle handle, void* data, std::size_t size) {
    return resumed_transfer(handle, POLLIN, SO_RCVTIMEO, [&](int flags) {
        return static_cast<long>(::recv(handle, data, size, flags));
    });
}

std::uint64_t socket_unacknowledged_bytes(SocketHandle handle) {
    std::uint64_t reported = 0;
    if (take_unacknowledged_report(&reported)) return reported;
#ifdef SIOCOUTQ
    // For TCP the kernel answers the sequence span from the oldest
    // unacknowledged byte to the last byte written, whatever the state.
    int queued = 0;
    if (ioctl(handle, SIOCOUTQ, &queued) == 0 && queued > 0)
        return static_cast<std::uint64_t>(queued);
#else
    (void)handle;
#endif
    return 0;
}

}  // namespace linkrate::platform
