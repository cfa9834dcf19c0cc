// The internet run. (Placeholder until the run lands: it always fails.)
#include "frame/messages.h"
#include "frame/state.h"

using namespace linkrate;

extern "C" LINKRATE_API int32_t linkrate_internet_run(const char* base_url) noexcept {
    ensure_initialized();
    if (base_url == nullptr || base_url[0] == '\0') {
        set_last_error(msg::kInvalidBaseUrl);
        return -1;
    }
    set_last_error(msg::kPingFailed);
    return -1;
}
