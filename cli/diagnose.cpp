#include "diagnose.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "net_probe.h"

namespace linkrate_cli {
namespace {

// "h:p", or "[h]:p" for an IPv6 address.
std::string host_port(const std::string& address, int port) {
    return address.find(':') != std::string::npos ? fmt::format("[{}]:{}", address, port)
                                                  : fmt::format("{}:{}", address, port);
}

bool starts_with_nocase(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() &&
           std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           });
}

// The reachability of host:port: empty when a connection opened (and, with
// a probe, the answer came), else what went wrong. `answered` tells which.
std::string reach(const std::string& host, int port, const std::string& probe,
                  const std::string& expect, const char* not_answered,
                  ProbeClock::time_point deadline, bool* opened = nullptr) {
    const Lookup lookup = lookup_host(host, deadline);
    if (lookup.outcome == LookupOutcome::timed_out) {
        return fmt::format("the name {} was not resolved within {} s", host, kDiagnosisSeconds);
    }
    if (lookup.outcome == LookupOutcome::not_found || lookup.numeric.empty()) {
        return fmt::format("cannot resolve {}: {}", host,
                           lookup.error.empty() ? "no address" : lookup.error);
    }
    // The first address is the one a client tries first.
    const std::string& address = lookup.numeric.front();
    const Connection c = connect_to(address, port, probe, expect, deadline);
    const std::string where = host_port(address, port);
    switch (c.outcome) {
        case ConnectOutcome::refused:
            return fmt::format("connection refused by {}", where);
        case ConnectOutcome::silent:
            return fmt::format("no answer from {} within {} s", where, kDiagnosisSeconds);
        case ConnectOutcome::failed:
            return fmt::format("cannot connect to {}: {}", where, c.error);
        case ConnectOutcome::open:
            break;
    }
    if (opened != nullptr) *opened = true;
    if (!probe.empty() && !c.answered) return not_answered;
    return {};
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

struct UrlParts {
    std::string host;
    int port = 0;
};

bool split_url(const std::string& url, UrlParts& parts) {
    std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) {
        return false;
    }
    char* host = nullptr;
    char* port = nullptr;
    const bool ok =
        curl_url_get(handle.get(), CURLUPART_HOST, &host, 0) == CURLUE_OK &&
        curl_url_get(handle.get(), CURLUPART_PORT, &port, CURLU_DEFAULT_PORT) == CURLUE_OK;
    if (ok) {
        parts.host = host;
        // An IPv6 address comes in brackets.
        if (parts.host.size() > 2 && parts.host.front() == '[' && parts.host.back() == ']') {
            parts.host = parts.host.substr(1, parts.host.size() - 2);
        }
        parts.port = std::atoi(port);
    }
    curl_free(host);
    curl_free(port);
    return ok;
}

// Takes no body byte: the transfer ends as the body begins, its head read.
std::size_t refuse_body(char*, std::size_t, std::size_t, void*) { return 0; }

// One GET of `url` up to its reply's head; its status, and where a redirect
// points. False when no reply came.
bool fetch_status(const std::string& url, ProbeClock::time_point deadline, long* status,
                  std::string* location) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - ProbeClock::now());
    if (left.count() <= 0) return false;
    std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
    if (!easy) return false;
    curl_easy_setopt(easy.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy.get(), CURLOPT_NOSIGNAL, 1L);
    // The test itself does not verify certificates either.
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(easy.get(), CURLOPT_TIMEOUT_MS, static_cast<long>(left.count()));
    curl_easy_setopt(easy.get(), CURLOPT_WRITEFUNCTION, refuse_body);
    curl_easy_perform(easy.get());
    curl_easy_getinfo(easy.get(), CURLINFO_RESPONSE_CODE, status);
    char* redirect = nullptr;
    if (curl_easy_getinfo(easy.get(), CURLINFO_REDIRECT_URL, &redirect) == CURLE_OK &&
        redirect != nullptr) {
        *location = redirect;
    }
    return *status != 0;
}

// A redirect of "<base>/garbage?..." to "<new base>/garbage?...": the new
// base; any other target as it is.
std::string redirected_base(const std::string& location, const std::string& path) {
    const std::size_t at = location.rfind(path);
    return at != std::string::npos && at > 0 ? location.substr(0, at) : location;
}

}  // namespace

bool is_http_url(const std::string& url) {
    return starts_with_nocase(url, "http://") || starts_with_nocase(url, "https://");
}

std::string diagnose_lan(const std::string& host, int port) {
    const auto deadline = ProbeClock::now() + std::chrono::seconds(kDiagnosisSeconds);
    return reach(host, port, "P", "P",
                 "accepts connections but did not answer the ping: is it a linkrate server?",
                 deadline);
}

std::string diagnose_internet(const std::string& base_url) {
    const auto deadline = ProbeClock::now() + std::chrono::seconds(kDiagnosisSeconds);
    UrlParts parts;
    if (!split_url(base_url, parts)) return "the URL cannot be read";
    bool opened = false;
    std::string problem = reach(parts.host, parts.port, {}, {}, "", deadline, &opened);
    if (!opened) return problem;

    // The URL as the test forms it: the base without its trailing slashes.
    std::string base = base_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    const std::string path = "/garbage";
    const std::string url = base + path;
    long status = 0;
    std::string location;
    curl_global_init(CURL_GLOBAL_DEFAULT);
    const bool replied = fetch_status(url, deadline, &status, &location);
    curl_global_cleanup();
    if (!replied) {
        return fmt::format("accepts connections but did not answer GET {} within {} s", url,
                           kDiagnosisSeconds);
    }
    if (status >= 300 && status <= 399 && !location.empty()) {
        return fmt::format("redirected to {}: use that URL", redirected_base(location, path));
    }
    if (status < 200 || status > 299) {
        return fmt::format("the server answered {} to GET {}: check the base URL", status, url);
    }
    return {};
}

std::string diagnose_bind(int port) {
    std::string error;
    switch (try_bind(port, error)) {
        case BindOutcome::in_use:
            return fmt::format("port {} is in use by another program", port);
        case BindOutcome::not_permitted:
            return fmt::format("no permission to listen on port {} ({})", port, error);
        case BindOutcome::failed:
            return error;
        case BindOutcome::free:
            break;
    }
    return {};
}

}  // namespace linkrate_cli
