#include "internet/curl_handles.h"

#include "platform/platform.h"

namespace linkrate {

EasyHandle new_easy_handle() {
    if (platform::take_fault(platform::Fault::http_transfer)) return nullptr;
    return EasyHandle(curl_easy_init());
}

MultiHandle new_multi_handle() {
    if (platform::take_fault(platform::Fault::http_multi)) return nullptr;
    return MultiHandle(curl_multi_init());
}

}  // namespace linkrate
