// The --csv line: RFC 4180 quoting, the members as the JSON text has them,
// and the time in UTC.
#include "csv.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

using std::chrono::system_clock;

// 2026-01-02T03:04:05Z, and a little more that the line leaves out.
const system_clock::time_point kWhen =
    system_clock::time_point(std::chrono::seconds(1767323045)) + std::chrono::milliseconds(900);

}  // namespace

TEST(Csv, OneQuotedLinePerRun) {
    struct Case {
        const char* target;
        const char* json;
        const char* line;
    } cases[] = {
        {"127.0.0.1:7878",
         R"({"ping_ms":0.25,"download_mbps":941.5,"upload_mbps":0.0,"duration_ms":2000,)"
         R"("jitter_ms":0.0,"server":"127.0.0.1:7878","phase":"complete"})",
         "2026-01-02T03:04:05Z,127.0.0.1:7878,0.25,941.5,0.0,2000,0.0,127.0.0.1:7878,complete,ok"
         "\r\n"},
        {"http://h/a,b\"c",
         R"({"ping_ms":1e-7,"download_mbps":1.0,"upload_mbps":2.0,"duration_ms":6001,)"
         R"("jitter_ms":0.5,"server":"line\nbreak","phase":"upload"})",
         "2026-01-02T03:04:05Z,\"http://h/a,b\"\"c\",1e-07,1.0,2.0,6001,0.5,\"line\nbreak\","
         "upload,ok\r\n"},
        {"host:1", "not json", "2026-01-02T03:04:05Z,host:1,,,,,,,,ok\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(linkrate_cli::csv_line(kWhen, c.target, c.json, "ok"), c.line) << c.target;
    }
    EXPECT_EQ(linkrate_cli::csv_header(),
              "time,target,ping_ms,download_mbps,upload_mbps,duration_ms,jitter_ms,server,phase,"
              "outcome\r\n");
}

// The time is UTC whatever the local zone: zones written as POSIX rules, so
// the test needs no time-zone database, on both sides of UTC and across a
// date line (03:04 UTC is already noon in Tokyo and still the day before in
// Honolulu).
TEST(Csv, TimeIsUtcInEveryZone) {
    const char* saved = std::getenv("TZ");
    const std::string before = saved != nullptr ? saved : "";
    for (const char* zone : {"JST-9", "HST10", "UTC0"}) {
        ::setenv("TZ", zone, 1);
        ::tzset();
        EXPECT_EQ(linkrate_cli::csv_line(kWhen, "h:1", "{}", "ok").substr(0, 21),
                  "2026-01-02T03:04:05Z,")
            << zone;
    }
    if (saved != nullptr) {
        ::setenv("TZ", before.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}
