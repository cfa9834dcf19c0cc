// Initialisation and tear-down, the last-error text, cancellation, the
// progress-callback slot and the version text.
#include <cstdio>

#include "frame/messages.h"
#include "frame/result.h"
#include "frame/state.h"
#include "frame/subsystems.h"
#include "platform/platform.h"

namespace linkrate {

std::atomic<int> g_initialized{0};
std::atomic<int> g_cancel_flag{0};
std::atomic<TickCallback> g_tick_cb{nullptr};
platform::Lock g_mutex;
char g_last_error[kLastErrorSize] = {};

void set_last_error(const char* message) {
    std::snprintf(g_last_error, sizeof g_last_error, "%s", message);
}

void clear_last_error() { g_last_error[0] = '\0'; }

}  // namespace linkrate

using namespace linkrate;

extern "C" LINKRATE_API int32_t linkrate_init(void) noexcept {
    if (platform::socket_library_start() != 0) {
        set_last_error(msg::kSocketStartupFailed);
        return -1;
    }
    // The server's connection threads may outlive linkrate_cleanup(); their
    // code must stay mapped even if the host then unloads the library. A
    // refusal leaves the library as unloadable as any other, so it is not
    // an error of its own.
    platform::pin_library();
    for (const Subsystem* subsystem : g_subsystems) {
        if (subsystem->start != nullptr) subsystem->start();
    }
    // The lock is created with the library and lives as long as it, so a
    // second initialisation never replaces a lock another thread may hold.
    update_result([](TestResult& r) {
        reset_result(r);
        clear_last_error();
        g_cancel_flag.store(0);
        g_initialized.store(1);
    });
    return 0;
}

extern "C" LINKRATE_API void linkrate_cleanup(void) noexcept {
    for (const Subsystem* subsystem : g_subsystems) {
        if (subsystem->stop != nullptr) subsystem->stop();
    }
    platform::socket_library_cleanup();
    g_initialized.store(0);
}

extern "C" LINKRATE_API const char* linkrate_version(void) noexcept { return kVersionText; }

extern "C" LINKRATE_API void linkrate_set_tick(TickCallback callback) noexcept {
    std::lock_guard<platform::Lock> hold(g_mutex);
    g_tick_cb.store(callback);
}

extern "C" LINKRATE_API void linkrate_cancel(void) noexcept { g_cancel_flag.store(1); }

extern "C" LINKRATE_API const char* linkrate_last_error(void) noexcept { return g_last_error; }
