// The built-in LAN test server. (Placeholder until the server lands: it never runs.)
#include "frame/messages.h"
#include "frame/state.h"

using namespace linkrate;

extern "C" LINKRATE_API int32_t linkrate_start_server(int32_t /*port*/) noexcept {
    ensure_initialized();
    set_last_error(msg::kServerBindFailed);
    return -1;
}

extern "C" LINKRATE_API void linkrate_stop_server(void) noexcept {}
