#include "report.h"

#include <fmt/format.h>

#include <nlohmann/json.hpp>

namespace linkrate_cli {

std::optional<Result> parse_result(const char* json) {
    auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (!doc.is_object()) return std::nullopt;
    try {
        Result r;
        r.ping_ms = doc.at("ping_ms").get<double>();
        r.download_mbps = doc.at("download_mbps").get<double>();
        r.upload_mbps = doc.at("upload_mbps").get<double>();
        r.duration_ms = doc.at("duration_ms").get<long long>();
        r.jitter_ms = doc.at("jitter_ms").get<double>();
        r.server = doc.at("server").get<std::string>();
        r.phase = doc.at("phase").get<std::string>();
        return r;
    } catch (const nlohmann::json::exception&) {
        return std::nullopt;
    }
}

std::string format_rate(double mbps) {
    if (mbps >= 1000) return fmt::format("{:.0f} Mbit/s", mbps);
    if (mbps >= 100) return fmt::format("{:.1f} Mbit/s", mbps);
    return fmt::format("{:.2f} Mbit/s", mbps);
}

std::string format_latency(double ms) {
    return ms < 1 ? fmt::format("{:.3f} ms", ms) : fmt::format("{:.2f} ms", ms);
}

void print_table(std::FILE* out, const Result& r, unsigned rows) {
    auto row = [out](const char* label, const std::string& value) {
        fmt::print(out, "  {:<10}{}\n", label, value);
    };
    row("Server", r.server);
    if (rows & kLatency) row("Latency", format_latency(r.ping_ms));
    if (rows & kJitter) row("Jitter", format_latency(r.jitter_ms));
    if (rows & kDownload) row("Download", format_rate(r.download_mbps));
    if (rows & kUpload) row("Upload", format_rate(r.upload_mbps));
    if (rows & kDuration) row("Duration", fmt::format("{} ms", r.duration_ms));
}

}  // namespace linkrate_cli
