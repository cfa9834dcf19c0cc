// The LAN client tests. (Placeholder until the client lands: every test fails.)
#include "frame/messages.h"
#include "frame/state.h"

using namespace linkrate;

extern "C" LINKRATE_API double linkrate_ping(const char*, int32_t, int32_t) noexcept {
    ensure_initialized();
    set_last_error(msg::kNoPings);
    return -1.0;
}

extern "C" LINKRATE_API double linkrate_download(const char*, int32_t, int32_t) noexcept {
    ensure_initialized();
    set_last_error(msg::kConnectFailed);
    return -1.0;
}

extern "C" LINKRATE_API double linkrate_upload(const char*, int32_t, int32_t) noexcept {
    ensure_initialized();
    set_last_error(msg::kConnectFailed);
    return -1.0;
}

extern "C" LINKRATE_API int32_t linkrate_run_all(const char*, int32_t, int32_t) noexcept {
    ensure_initialized();
    set_last_error(msg::kAllTestsFailed);
    return -1;
}
