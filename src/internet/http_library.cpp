// The HTTP library's global initialisation and clean-up.
#include "internet/http_library.h"

#include <curl/curl.h>

namespace linkrate {
namespace {

void start_http_library() noexcept {
    if (g_curl_initialized.load() == 0 && curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK) {
        g_curl_initialized.store(1);
    }
}

void stop_http_library() noexcept {
    if (g_curl_initialized.load() != 0) {
        curl_global_cleanup();
        g_curl_initialized.store(0);
    }
}

}  // namespace

std::atomic<int> g_curl_initialized{0};

const Subsystem kHttpLibrarySubsystem{&start_http_library, &stop_http_library};

}  // namespace linkrate
