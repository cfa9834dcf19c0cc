// The loaded latency: its figures, the sampler's filing of probes, the probes'
// own time-outs and stops, and how the program shows what was measured.
#include "loaded_latency.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "latency_probes.h"
#include "loaded_report.h"
#include "raw_socket.h"

using namespace linkrate_cli;
using linkrate::test::RawConn;
using linkrate::test::ScriptedPeer;
using Clock = std::chrono::steady_clock;

TEST(LoadedLatency, MedianAndNinetiethPercentile) {
    struct Case {
        std::vector<double> samples;
        int lost;
        double median, p90;
    };
    const std::vector<Case> cases = {
        {{5}, 0, 5, 5},
        {{4, 1, 3, 2}, 1, 2.5, 4},
        {{10, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, 5.5, 9},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 100}, 2, 6, 10},
    };
    for (Case c : cases) {
        const LoadedFigures f = summarize(c.samples, c.lost);
        EXPECT_EQ(f.probes, static_cast<int>(c.samples.size()) + c.lost);
        EXPECT_EQ(f.lost, c.lost);
        EXPECT_DOUBLE_EQ(f.median_ms, c.median);
        EXPECT_DOUBLE_EQ(f.p90_ms, c.p90);
    }
    std::vector<double> none;
    EXPECT_EQ(summarize(none, 3).answered(), 0);
}

// A probe filed under the transfer that ran while it was out; one that spans a
// change belongs to neither, and probes only run while a transfer does.
TEST(LoadedLatency, FilesEachProbeUnderItsTransfer) {
    std::atomic<Load> load{Load::none};
    std::atomic<int> sent{0};
    LoadedLatency probes(
        [&](const std::atomic<bool>&) {
            const int n = ++sent;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ProbeResult r;
            if (n % 4 != 0) r.round_trip_ms = load.load() == Load::down ? 10.0 : 20.0;
            return r;
        },
        [&] { return load.load(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(sent.load(), 0) << "probes while no transfer ran";
    load = Load::down;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    load = Load::up;
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    load = Load::none;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    probes.stop();
    const LoadedFigures down = probes.figures(Load::down), up = probes.figures(Load::up);
    for (const LoadedFigures* f : {&down, &up}) {
        // About ten a second.
        EXPECT_GE(f->probes, 7);
        EXPECT_LE(f->probes, 12);
        EXPECT_GE(f->lost, 1);
    }
    EXPECT_DOUBLE_EQ(down.median_ms, 10.0);
    EXPECT_DOUBLE_EQ(down.p90_ms, 10.0);
    EXPECT_DOUBLE_EQ(up.median_ms, 20.0);
    EXPECT_LE(down.probes + up.probes, sent.load());
}

// A peer that accepts and never answers the ping: the probe is lost after its
// own time-out, and a stop ends it at once.
TEST(LoadedLatency, LanProbeTimesOutAndStopsAtOnce) {
    ScriptedPeer silent([](RawConn& c) {
        c.set_read_timeout(5000);
        c.read_up_to(1);
        c.read_up_to(1);
    });
    const Probe probe = lan_ping_probe("127.0.0.1", silent.port());
    std::atomic<bool> stop{false};
    auto started = Clock::now();
    ProbeResult r = probe(stop);
    const auto waited = Clock::now() - started;
    EXPECT_FALSE(r.round_trip_ms);
    EXPECT_FALSE(r.stopped);
    EXPECT_GE(waited, kProbeTimeout - std::chrono::milliseconds(50));
    EXPECT_LT(waited, kProbeTimeout + std::chrono::milliseconds(500));

    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop = true;
    });
    started = Clock::now();
    r = probe(stop);
    stopper.join();
    EXPECT_TRUE(r.stopped);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(600));
}

TEST(LoadedLatency, LanProbeTimesTheAnswer) {
    ScriptedPeer answers_late([](RawConn& c) {
        if (c.read_up_to(1) == "P") {
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
            c.send_byte('P');
        }
    });
    std::atomic<bool> stop{false};
    const ProbeResult r = lan_ping_probe("127.0.0.1", answers_late.port())(stop);
    ASSERT_TRUE(r.round_trip_ms);
    EXPECT_GE(*r.round_trip_ms, 59.0);
    EXPECT_LT(*r.round_trip_ms, 300.0);
}

namespace {

LoadedFigures figures(int answered, int lost, double median, double p90) {
    LoadedFigures f;
    f.probes = answered + lost;
    f.lost = lost;
    f.median_ms = median;
    f.p90_ms = p90;
    return f;
}

std::vector<Row> rows_with_latency(const char* idle) {
    return {Row{"Latency", RowState::measured, idle},
            Row{"Download", RowState::measured, "95.2 Mbit/s"}};
}

}  // namespace

TEST(LoadedReport, TableShowsOnlyWhatWasMeasured) {
    struct Case {
        const char* name;
        LoadedRun loaded;
        std::vector<std::pair<std::string, std::string>> want;  // label, text
    };
    const std::vector<Case> cases = {
        {"both directions",
         {true, figures(30, 0, 212.4, 231.2), figures(28, 0, 98.1, 104.7)},
         {{"Latency", "20.40 ms idle"},
          {"Loaded", "212 ms down (p90 231), 98.1 ms up (p90 105)"},
          {"Download", "95.2 Mbit/s"}}},
        {"down only, with lost probes",
         {true, figures(20, 3, 1.5, 2.25), figures(0, 4, 0, 0)},
         {{"Latency", "20.40 ms idle"},
          {"Loaded", "1.50 ms down (p90 2.25)"},
          {"Download", "95.2 Mbit/s"},
          {"Lost", "3 of 23 probes down, 4 of 4 probes up"}}},
        {"large figures",
         {true, figures(30, 0, 1212.4, 1431.2), figures(28, 0, 998.1, 1104.7)},
         {{"Latency", "20.40 ms idle"},
          {"Loaded", "1212 ms down (p90 1431), 998 ms up (p90 1105)"},
          {"Download", "95.2 Mbit/s"}}},
        {"not probed", {false, {}, {}}, {{"Latency", "20.40 ms"}, {"Download", "95.2 Mbit/s"}}},
        {"nothing answered",
         {true, figures(0, 0, 0, 0), figures(0, 0, 0, 0)},
         {{"Latency", "20.40 ms"}, {"Download", "95.2 Mbit/s"}}},
    };
    for (const Case& c : cases) {
        std::vector<Row> rows = rows_with_latency("20.40 ms");
        add_loaded_rows(rows, c.loaded);
        std::vector<std::pair<std::string, std::string>> got;
        for (const Row& r : rows) {
            got.emplace_back(r.label, r.value);
            EXPECT_LE(12 + r.value.size(), 79u) << c.name << ": " << r.value;
        }
        EXPECT_EQ(got, c.want) << c.name;
    }
}

TEST(LoadedReport, JsonAllKeepsTheLibraryTextAndAddsNullsForWhatWasNotMeasured) {
    const std::string record =
        R"({"ping_ms":0.07,"download_mbps":31245.2,"upload_mbps":0.0,"duration_ms":2000,)"
        R"("jitter_ms":0.0,"server":"127.0.0.1:5201","phase":"complete"})";
    const LoadedRun loaded{true, figures(10, 1, 0.5, 0.75), figures(0, 2, 0, 0)};
    const std::string text = json_all(record, loaded);
    EXPECT_EQ(text.substr(0, record.size() - 1), record.substr(0, record.size() - 1));
    const auto doc = nlohmann::ordered_json::parse(text);
    EXPECT_EQ(doc.size(), 15u);
    EXPECT_DOUBLE_EQ(doc["loaded_down_ms"].get<double>(), 0.5);
    EXPECT_DOUBLE_EQ(doc["loaded_down_p90_ms"].get<double>(), 0.75);
    EXPECT_EQ(doc["loaded_down_probes"], 11);
    EXPECT_EQ(doc["loaded_down_lost"], 1);
    EXPECT_TRUE(doc["loaded_up_ms"].is_null());
    EXPECT_TRUE(doc["loaded_up_p90_ms"].is_null());
    EXPECT_EQ(doc["loaded_up_lost"], 2);
}

TEST(LoadedReport, CsvAllHasAFieldForEveryColumn) {
    const std::string record =
        R"({"ping_ms":0.07,"download_mbps":1.0,"upload_mbps":1.0,"duration_ms":2000,)"
        R"("jitter_ms":0.0,"server":"h:1","phase":"complete"})";
    const auto fields = [](const std::string& line) {
        return std::count(line.begin(), line.end(), ',') + 1;
    };
    const std::string header = csv_all_header();
    EXPECT_EQ(header.substr(header.size() - 2), "\r\n");
    EXPECT_NE(header.find(",outcome,loaded_down_ms,loaded_down_p90_ms,loaded_down_probes,"
                          "loaded_down_lost,loaded_up_ms,"),
              std::string::npos)
        << header;
    for (const LoadedRun& loaded :
         {LoadedRun{true, figures(10, 0, 2, 3), figures(0, 1, 0, 0)}, LoadedRun{}}) {
        const std::string line =
            csv_all_line(std::chrono::system_clock::now(), "h:1", record.c_str(), "ok", loaded);
        EXPECT_EQ(fields(line), fields(header)) << line;
        EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    }
    const std::string line = csv_all_line(std::chrono::system_clock::now(), "h:1", record.c_str(),
                                          "ok", {true, figures(10, 0, 2, 3), figures(0, 1, 0, 0)});
    EXPECT_NE(line.find(",ok,2.000,3.000,10,0,,,1,1\r\n"), std::string::npos) << line;
}
