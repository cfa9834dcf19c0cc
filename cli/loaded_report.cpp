#include "loaded_report.h"

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "csv.h"

namespace linkrate_cli {
namespace {

bool measured(const LoadedFigures& f) { return f.answered() > 0; }

std::string number(double ms) {
    if (ms >= 100) return fmt::format("{:.0f}", ms);
    if (ms >= 10) return fmt::format("{:.1f}", ms);
    if (ms >= 1) return fmt::format("{:.2f}", ms);
    return fmt::format("{:.3f}", ms);
}

// "212 ms down (p90 231)".
std::string part(const LoadedFigures& f, const char* word) {
    return fmt::format("{} {} (p90 {})", format_loaded(f.median_ms), word, number(f.p90_ms));
}

struct Direction {
    const char* name;
    const LoadedFigures* figures;
};

// The program's members, null where nothing was measured.
std::string members(const LoadedRun& loaded) {
    std::string out;
    for (const Direction& d : {Direction{"down", &loaded.down}, Direction{"up", &loaded.up}}) {
        const LoadedFigures& f = *d.figures;
        const bool shown = loaded.probed && measured(f);
        out += fmt::format(R"(,"loaded_{0}_ms":{1},"loaded_{0}_p90_ms":{2})", d.name,
                           shown ? fmt::format("{:.3f}", f.median_ms) : "null",
                           shown ? fmt::format("{:.3f}", f.p90_ms) : "null");
        out += fmt::format(R"(,"loaded_{0}_probes":{1},"loaded_{0}_lost":{2})", d.name,
                           loaded.probed ? f.probes : 0, loaded.probed ? f.lost : 0);
    }
    return out;
}

}  // namespace

std::string format_loaded(double ms) { return number(ms) + " ms"; }

void add_loaded_rows(std::vector<Row>& rows, const LoadedRun& loaded) {
    if (!loaded.probed) return;
    std::vector<std::string> parts;
    for (const Direction& d : {Direction{"down", &loaded.down}, Direction{"up", &loaded.up}}) {
        if (measured(*d.figures)) parts.push_back(part(*d.figures, d.name));
    }
    if (!parts.empty()) {
        auto at = rows.begin();
        while (at != rows.end() && at->label != "Latency") ++at;
        if (at != rows.end()) {
            if (at->state == RowState::measured) at->value += " idle";
            ++at;
        }
        rows.insert(at,
                    Row{"Loaded", RowState::measured, fmt::format("{}", fmt::join(parts, ", "))});
    }
    if (loaded.down.lost + loaded.up.lost > 0) {
        std::vector<std::string> lost;
        for (const Direction& d : {Direction{"down", &loaded.down}, Direction{"up", &loaded.up}}) {
            if (d.figures->probes > 0) {
                lost.push_back(
                    fmt::format("{} of {} probes {}", d.figures->lost, d.figures->probes, d.name));
            }
        }
        rows.push_back(Row{"Lost", RowState::measured, fmt::format("{}", fmt::join(lost, ", "))});
    }
}

std::string json_all(const std::string& record_json, const LoadedRun& loaded) {
    std::string text = record_json;
    if (text.empty() || text.back() != '}') return text;
    text.pop_back();
    return text + members(loaded) + "}";
}

std::string csv_all_header() {
    std::string line = csv_header();
    line.resize(line.size() - 2);  // its CRLF
    for (const char* d : {"down", "up"}) {
        line +=
            fmt::format(",loaded_{0}_ms,loaded_{0}_p90_ms,loaded_{0}_probes,loaded_{0}_lost", d);
    }
    return line + "\r\n";
}

std::string csv_all_line(std::chrono::system_clock::time_point when, const std::string& target,
                         const char* json, const char* outcome, const LoadedRun& loaded) {
    std::string line = csv_line(when, target, json, outcome);
    line.resize(line.size() - 2);
    for (const LoadedFigures* f : {&loaded.down, &loaded.up}) {
        const bool shown = loaded.probed && measured(*f);
        line += shown ? fmt::format(",{:.3f},{:.3f}", f->median_ms, f->p90_ms) : ",,";
        line += loaded.probed ? fmt::format(",{},{}", f->probes, f->lost) : ",,";
    }
    return line + "\r\n";
}

}  // namespace linkrate_cli
