#include "csv.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <ctime>
#include <nlohmann/json.hpp>

namespace linkrate_cli {
namespace {

constexpr const char* kMembers[] = {"ping_ms",   "download_mbps", "upload_mbps", "duration_ms",
                                    "jitter_ms", "server",        "phase"};

// A field quoted when it holds a comma, a double quote or a line break, with
// each double quote doubled.
std::string field(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

}  // namespace

std::string csv_header() {
    std::string line = "time,target";
    for (const char* member : kMembers) line += fmt::format(",{}", member);
    return line + ",outcome\r\n";
}

std::string csv_line(std::chrono::system_clock::time_point when, const std::string& target,
                     const char* json, const char* outcome) {
    const auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    // Broken down in UTC: fmt formats a time point in the local zone.
    const std::tm utc = fmt::gmtime(std::chrono::system_clock::to_time_t(when));
    std::string line = fmt::format("{:%Y-%m-%dT%H:%M:%SZ},{}", utc, field(target));
    for (const char* member : kMembers) {
        // Numbers as the JSON text has them; a member the text lacks stays empty.
        std::string value;
        if (doc.is_object() && doc.contains(member)) {
            const auto& v = doc[member];
            value = v.is_string() ? v.get<std::string>() : v.dump();
        }
        line += "," + field(value);
    }
    return line + "," + outcome + "\r\n";
}

}  // namespace linkrate_cli
