#include <time.h>

#include <cerrno>

#include "platform/platform.h"

namespace linkrate::platform {

double now_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void sleep_ms(int ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    // A host's signal must not cut the pause short.
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace linkrate::platform
