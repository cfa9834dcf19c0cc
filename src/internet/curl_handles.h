// Owning wrappers for libcurl handles, so every path of a phase releases them.
#pragma once

#include <curl/curl.h>

#include <memory>

namespace linkrate {

struct EasyCleanup {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};
struct MultiCleanup {
    void operator()(CURLM* multi) const { curl_multi_cleanup(multi); }
};
struct HeaderListFree {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;
using MultiHandle = std::unique_ptr<CURLM, MultiCleanup>;
using HeaderList = std::unique_ptr<curl_slist, HeaderListFree>;

// A new transfer handle, or null when libcurl cannot make one (a test can ask
// for that through platform::Fault::http_transfer).
EasyHandle new_easy_handle();
// A new multi handle, or null (platform::Fault::http_multi).
MultiHandle new_multi_handle();

}  // namespace linkrate
