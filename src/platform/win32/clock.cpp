#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

namespace {

// The counter's frequency is fixed at boot, so it is read once.
double counter_frequency() {
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    return frequency;
}

}  // namespace

double now_seconds() {
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / counter_frequency();
}

void sleep_ms(int ms) {
    if (ms > 0) Sleep(static_cast<DWORD>(ms));
}

}  // namespace linkrate::platform
