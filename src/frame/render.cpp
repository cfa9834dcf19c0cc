#include <cstring>

#include "frame/json_writer.h"
#include "frame/result.h"

namespace linkrate {

namespace {

// Length of the NUL-terminated text in buf, or size when buf holds no NUL.
std::size_t bounded_length(const char* buf, std::size_t size) {
    const void* nul = std::memchr(buf, '\0', size);
    return nul == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(nul) - buf);
}

}  // namespace

bool render_result_json(const TestResult& r, char* out, std::size_t cap, std::size_t* len) {
    if (len == nullptr) return false;

    JsonWriter w(out, cap);
    w.raw("{\"ping_ms\":");
    w.real(r.ping_ms);
    w.raw(",\"download_mbps\":");
    w.real(r.download_mbps);
    w.raw(",\"upload_mbps\":");
    w.real(r.upload_mbps);
    w.raw(",\"duration_ms\":");
    w.integer(r.duration_ms);
    w.raw(",\"jitter_ms\":");
    w.real(r.jitter_ms);
    // The texts are bounded by their buffers, so a missing NUL cannot make the
    // measure run past the record.
    w.raw(",\"server\":");
    w.string(r.server, bounded_length(r.server, sizeof r.server));
    w.raw(",\"phase\":");
    w.string(r.phase, bounded_length(r.phase, sizeof r.phase));
    w.raw("}");

    if (!w.ok()) return false;
    *len = w.size();
    return true;
}

}  // namespace linkrate
