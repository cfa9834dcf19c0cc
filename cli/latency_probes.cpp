#include "latency_probes.h"

#include <curl/curl.h>
#include <fmt/format.h>

#include <memory>

#include "net_probe.h"

namespace linkrate_cli {
namespace {

struct EasyDeleter {
    void operator()(CURL* easy) const { curl_easy_cleanup(easy); }
};

// Ends a transfer as soon as `stop` is set: libcurl asks several times a
// second.
int stop_when_asked(void* stop, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(stop)->load() ? 1 : 0;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) { return size * count; }

double ms_of(ProbeClock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

Probe lan_ping_probe(const std::string& host, int port) {
    auto address = std::make_shared<std::string>();
    return [host, port, address](const std::atomic<bool>& stop) {
        ProbeResult result;
        const auto deadline = ProbeClock::now() + kProbeTimeout;
        if (address->empty()) {
            const Lookup lookup = lookup_host(host, deadline);
            if (lookup.outcome != LookupOutcome::found || lookup.numeric.empty()) return result;
            *address = lookup.numeric.front();
        }
        const Connection c = connect_to(*address, port, "P", "P", deadline, &stop);
        result.stopped = stop.load();
        if (c.outcome == ConnectOutcome::open && c.answered) {
            result.round_trip_ms = ms_of(c.answer_time);
        }
        return result;
    };
}

Probe internet_empty_probe(const std::string& base_url) {
    std::string base = base_url;
    while (!base.empty() && base.back() == '/') base.pop_back();
    auto easy = std::shared_ptr<CURL>(curl_easy_init(), EasyDeleter{});
    auto sent = std::make_shared<long>(0);
    return [base, easy, sent](const std::atomic<bool>& stop) {
        ProbeResult result;
        if (!easy) return result;
        CURL* e = easy.get();
        const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        const std::string url = fmt::format("{}/empty?t=p{}_{}", base, ++*sent, now_ms);
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        // As the test's own requests: certificates are not verified.
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                         static_cast<long>(std::chrono::milliseconds(kProbeTimeout).count()));
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, stop_when_asked);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(&stop));
        const CURLcode code = curl_easy_perform(e);
        result.stopped = stop.load();
        curl_off_t pretransfer = 0, first_byte = 0;
        if (code == CURLE_OK &&
            curl_easy_getinfo(e, CURLINFO_PRETRANSFER_TIME_T, &pretransfer) == CURLE_OK &&
            curl_easy_getinfo(e, CURLINFO_STARTTRANSFER_TIME_T, &first_byte) == CURLE_OK &&
            first_byte >= pretransfer) {
            result.round_trip_ms = static_cast<double>(first_byte - pretransfer) / 1000.0;
        }
        return result;
    };
}

}  // namespace linkrate_cli
