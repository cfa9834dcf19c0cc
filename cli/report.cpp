#include "report.h"

#include <fmt/format.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "tarnwell/linkrate.h"

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

std::string read_record_json() {
    static std::mutex turn;
    std::lock_guard<std::mutex> hold(turn);
    return linkrate_result_json();
}

std::string format_latency(double ms) {
    return ms < 1 ? fmt::format("{:.3f} ms", ms) : fmt::format("{:.2f} ms", ms);
}

void print_table(std::FILE* out, const std::string& server, const std::vector<Row>& rows) {
    auto line = [out](const std::string& label, const std::string& text) {
        fmt::print(out, "  {:<10}{}\n", label, text);
    };
    line("Server", server);
    for (const Row& row : rows) {
        switch (row.state) {
            case RowState::measured:
                line(row.label, row.value);
                break;
            case RowState::failed:
                line(row.label, "failed");
                break;
            case RowState::stopped:
                line(row.label,
                     row.value.empty() ? "stopped" : fmt::format("stopped ({} so far)", row.value));
                break;
            case RowState::not_measured:
                line(row.label, "not measured");
                break;
        }
    }
}

}  // namespace linkrate_cli
