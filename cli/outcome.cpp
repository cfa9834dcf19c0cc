#include "outcome.h"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <initializer_list>

namespace linkrate_cli {
namespace {

// One of the three LAN tests, as the table and the messages name it.
struct LanTestInfo {
    const char* label;
    const char* doing;    // "download from", followed by the target
    const char* nothing;  // the program's own reason when the test moved nothing
    // The library's messages that this test can leave in the last-error text.
    std::initializer_list<const char*> messages;
};

const std::array<LanTestInfo, 3> kLanTests{{
    {"Latency", "ping", "no reply", {"No pings succeeded", "Cancelled by user"}},
    {"Download",
     "download from",
     "nothing received",
     {"Connect to host failed", "Send download command failed", "Out of memory",
      "Cancelled by user"}},
    {"Upload",
     "upload to",
     "nothing delivered",
     {"Connect to host failed", "Send upload command failed", "Out of memory",
      "Cancelled by user"}},
}};

bool can_write(const LanTestInfo& info, const std::string& message) {
    return std::any_of(info.messages.begin(), info.messages.end(),
                       [&](const char* m) { return message == m; });
}

std::string lan_figure(int index, double value) {
    return index == 0 ? format_latency(value) : format_rate(value);
}

// Index into kLanTests of a recorded LAN phase; -1 for "idle", 3 for "complete".
int lan_phase_index(const std::string& phase) {
    if (phase == "ping") return 0;
    if (phase == "download") return 1;
    if (phase == "upload") return 2;
    if (phase == "complete") return 3;
    return -1;
}

Verdict verdict_of(const std::vector<Row>& rows, bool stopped) {
    if (stopped) return Verdict::stopped;
    for (const Row& row : rows) {
        if (row.state == RowState::failed) return Verdict::failed;
    }
    return Verdict::ok;
}

// The last-error text holds only the latest message, so it is given to the
// latest failed test that could have written it; every other failed test is
// named with the program's own reason.
std::vector<std::string> lan_errors(const std::vector<int>& failed, const LanRun& run) {
    std::vector<std::string> errors(failed.size());
    bool message_used = run.last_error.empty();
    for (std::size_t k = failed.size(); k-- > 0;) {
        const LanTestInfo& info = kLanTests[failed[k]];
        std::string reason = info.nothing;
        if (!message_used && can_write(info, run.last_error)) {
            reason = run.last_error;
            message_used = true;
        }
        errors[k] = fmt::format("{} {}: {}", info.doing, run.target, reason);
    }
    // A message of the run itself ("All tests failed") follows the tests'.
    if (!message_used && !failed.empty()) {
        errors.push_back(fmt::format("{}: {}", run.target, run.last_error));
    }
    return errors;
}

// The rows of a full run. When it was stopped, the recorded phase tells how
// far it got: each test records its phase when it ends, a stopped transfer
// included.
std::vector<Row> full_run_rows(const LanRun& run, std::vector<int>& failed) {
    const std::array<double, 3> figures{run.record.ping_ms, run.record.download_mbps,
                                        run.record.upload_mbps};
    const int recorded = lan_phase_index(run.record.phase);
    std::vector<Row> rows;
    for (int i = 0; i < 3; ++i) {
        Row row{kLanTests[i].label, RowState::not_measured, {}};
        const bool reached = run.started && (!run.stopped || i <= std::max(recorded, 0));
        const bool cut_short =
            run.stopped && (i == recorded || (recorded < 0 && i == 0)) && recorded != 3;
        if (!reached) {
            row.state = RowState::not_measured;
        } else if (cut_short && !(i == 0 && figures[0] > 0)) {
            row.state = RowState::stopped;
            if (figures[i] > 0) row.value = lan_figure(i, figures[i]);
        } else if (figures[i] > 0) {
            row.state = RowState::measured;
            row.value = lan_figure(i, figures[i]);
        } else {
            row.state = RowState::failed;
            failed.push_back(i);
        }
        rows.push_back(row);
    }
    return rows;
}

Row single_test_row(const LanRun& run, int index, std::vector<int>& failed) {
    Row row{kLanTests[index].label, RowState::not_measured, {}};
    const double value = run.returned;
    // A stopped ping still reports the mean of the replies it had.
    const bool complete = index == 0 || !run.stopped;
    if (!run.started) {
        row.state = RowState::not_measured;
    } else if (value > 0 && complete) {
        row.state = RowState::measured;
        row.value = lan_figure(index, value);
    } else if (run.stopped) {
        row.state = RowState::stopped;
        if (value > 0) row.value = lan_figure(index, value);
    } else {
        row.state = RowState::failed;
        failed.push_back(index);
    }
    return row;
}

}  // namespace

const char* verdict_name(Verdict verdict) {
    switch (verdict) {
        case Verdict::ok:
            return "ok";
        case Verdict::failed:
            return "failed";
        case Verdict::stopped:
            return "stopped";
    }
    return "failed";
}

Outcome judge_lan(const LanRun& run) {
    Outcome outcome;
    std::vector<int> failed;
    switch (run.test) {
        case LanTest::ping:
            outcome.rows.push_back(single_test_row(run, 0, failed));
            break;
        case LanTest::download:
            outcome.rows.push_back(single_test_row(run, 1, failed));
            break;
        case LanTest::upload:
            outcome.rows.push_back(single_test_row(run, 2, failed));
            break;
        case LanTest::full:
            outcome.rows = full_run_rows(run, failed);
            break;
    }
    if (run.test != LanTest::ping) {
        // The library records the requested duration, not the time the
        // transfer took, and the table says so.
        outcome.rows.push_back(
            Row{"Duration", RowState::measured, fmt::format("{} ms (requested)", run.duration_ms)});
    }
    outcome.errors = lan_errors(failed, run);
    outcome.verdict = verdict_of(outcome.rows, run.stopped);
    return outcome;
}

Outcome judge_internet(const InternetRun& run) {
    const Result& r = run.record;
    // The phase under way when the run ended; the record names the phase that
    // runs, and "complete" once all three have ended.
    int stage = 0;
    if (r.phase == "download") stage = 1;
    if (r.phase == "upload") stage = 2;
    if (r.phase == "complete") stage = 3;
    if (run.returned == 0) stage = 3;

    Outcome outcome;
    auto row_at = [&](int row_stage, const char* label, const std::string& figure) {
        Row row{label, RowState::not_measured, {}};
        if (row_stage < stage) {
            row.state = RowState::measured;
            row.value = figure;
        } else if (row_stage == stage) {
            row.state = run.stopped ? RowState::stopped : RowState::failed;
            // A stopped throughput phase shows its running rate at the stop.
            const double so_far = stage == 1   ? run.download_so_far
                                  : stage == 2 ? run.upload_so_far
                                               : 0.0;
            if (run.stopped && so_far > 0) row.value = format_rate(so_far);
        }
        return row;
    };
    outcome.rows.push_back(row_at(0, "Latency", format_latency(r.ping_ms)));
    outcome.rows.push_back(row_at(0, "Jitter", format_latency(r.jitter_ms)));
    outcome.rows.push_back(row_at(1, "Download", format_rate(r.download_mbps)));
    outcome.rows.push_back(row_at(2, "Upload", format_rate(r.upload_mbps)));
    Row duration{"Duration", RowState::not_measured, {}};
    if (stage == 3) {
        duration.state = RowState::measured;
        duration.value = fmt::format("{} ms", r.duration_ms);
    }
    outcome.rows.push_back(duration);

    static const char* const kDoing[] = {"latency to", "download from", "upload to"};
    if (stage < 3 && !run.stopped) {
        const std::string reason = run.last_error.empty() ? "no answer" : run.last_error;
        outcome.errors.push_back(fmt::format("{} {}: {}", kDoing[stage], run.target, reason));
    }
    // A phase in which no transfer got through ends normally at 0.0.
    struct Transfer {
        int row;
        double mbps;
        const char* doing;
        const char* nothing;
    };
    for (const Transfer& t : {Transfer{2, r.download_mbps, kDoing[1], "nothing received"},
                              Transfer{3, r.upload_mbps, kDoing[2], "nothing delivered"}}) {
        Row& row = outcome.rows[t.row];
        if (row.state == RowState::measured && t.mbps <= 0) {
            row.state = RowState::failed;
            row.value.clear();
            outcome.errors.push_back(fmt::format("{} {}: {}", t.doing, run.target, t.nothing));
        }
    }
    outcome.verdict = verdict_of(outcome.rows, run.stopped);
    return outcome;
}

}  // namespace linkrate_cli
