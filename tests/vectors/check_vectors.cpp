// Runs every row of the JSON form vectors in a folder through the writer and the
// record renderer: check_vectors <folder>. Prints each mismatch (up to a limit)
// and a closing "N passed, N failed" line; exits non-zero on any failure.
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "frame/json_writer.h"
#include "frame/result.h"

namespace {

constexpr int kMaxReported = 25;
constexpr std::string_view kFail = "!fail";
constexpr std::size_t kRecordBufSize = 4096;

struct Tally {
    long passed = 0;
    long failed = 0;
    int reported = 0;
    bool broken = false;  // A file could not be read or was malformed.
};

struct Row {
    std::string file;
    long line;
    std::vector<std::string_view> fields;
};

void report(Tally& t, const Row& row, std::string_view what) {
    ++t.failed;
    if (t.reported++ < kMaxReported) {
        std::printf("%s:%ld: %.*s\n", row.file.c_str(), row.line, static_cast<int>(what.size()),
                    what.data());
    } else if (t.reported == kMaxReported + 1) {
        std::printf("(further mismatches not shown)\n");
    }
}

void mismatch(Tally& t, const Row& row, std::string_view expected, bool got_ok,
              std::string_view got) {
    std::string msg = "expected ";
    msg += expected;
    msg += "\n    got      ";
    msg += got_ok ? got : kFail;
    report(t, row, msg);
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> out;
    for (;;) {
        const auto tab = line.find('\t');
        out.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos) return out;
        line.remove_prefix(tab + 1);
    }
}

template <typename T>
bool parse_int(std::string_view s, T& value, int base = 10) {
    if (s.empty()) return false;
    const auto res = std::from_chars(s.data(), s.data() + s.size(), value, base);
    return res.ec == std::errc() && res.ptr == s.data() + s.size();
}

bool parse_bits(std::string_view s, double& value) {
    std::uint64_t bits = 0;
    if (s.size() != 16) return false;
    if (!parse_int(s, bits, 16)) return false;
    value = std::bit_cast<double>(bits);
    return true;
}

bool parse_hex(std::string_view s, std::string& bytes) {
    if (s.size() % 2 != 0) return false;
    bytes.clear();
    for (std::size_t i = 0; i < s.size(); i += 2) {
        unsigned byte = 0;
        if (!parse_int(s.substr(i, 2), byte, 16)) return false;
        bytes.push_back(static_cast<char>(byte));
    }
    return true;
}

// Reads a TSV file, checks its header, and hands each row to check(). A missing
// file, a wrong header or a file without rows marks the whole run broken, so a
// lost or truncated set can never pass silently.
template <typename Check>
void run_file(Tally& t, const std::string& folder, const char* name, std::string_view header,
              std::size_t columns, Check check) {
    const std::string path = folder + "/" + name;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        std::fprintf(stderr, "%s: cannot read\n", path.c_str());
        t.broken = true;
        return;
    }
    if (line != header) {
        std::fprintf(stderr, "%s: unexpected header line\n", path.c_str());
        t.broken = true;
        return;
    }
    long line_no = 1;
    long rows = 0;
    while (std::getline(in, line)) {
        ++line_no;
        ++rows;
        Row row{path, line_no, split_tabs(line)};
        if (row.fields.size() != columns) {
            report(t, row, "malformed row: wrong number of columns");
            continue;
        }
        check(t, row);
    }
    if (in.bad()) {
        std::fprintf(stderr, "%s: read error\n", path.c_str());
        t.broken = true;
    }
    if (rows == 0) {
        std::fprintf(stderr, "%s: no rows\n", path.c_str());
        t.broken = true;
    }
}

// Compares one writer outcome with the expected text; `!fail` means no text.
void compare(Tally& t, const Row& row, std::string_view expected, const linkrate::JsonWriter& w,
             const char* buf) {
    const std::string_view got(buf, w.size());
    const bool want_fail = expected == kFail;
    if (want_fail ? !w.ok() : (w.ok() && got == expected)) {
        ++t.passed;
    } else {
        mismatch(t, row, expected, w.ok(), got);
    }
}

void check_real(Tally& t, const Row& row) {
    double value = 0;
    if (!parse_bits(row.fields[0], value)) return report(t, row, "malformed bits");
    char buf[64];
    linkrate::JsonWriter w(buf, sizeof buf);
    w.real(value);
    compare(t, row, row.fields[1], w, buf);
}

void check_int(Tally& t, const Row& row) {
    std::int64_t value = 0;
    if (!parse_int(row.fields[0], value)) return report(t, row, "malformed integer");
    char buf[32];
    linkrate::JsonWriter w(buf, sizeof buf);
    w.integer(value);
    compare(t, row, row.fields[1], w, buf);
}

void check_string(Tally& t, const Row& row) {
    std::string bytes;
    if (!parse_hex(row.fields[0], bytes)) return report(t, row, "malformed hex");
    // Every input byte escapes to at most six output bytes, plus the quotes.
    std::vector<char> buf(bytes.size() * 6 + 2);
    linkrate::JsonWriter w(buf.data(), buf.size());
    w.string(bytes.data(), bytes.size());
    compare(t, row, row.fields[1], w, buf.data());
}

void check_record(Tally& t, const Row& row) {
    const auto& f = row.fields;
    linkrate::TestResult r{};
    std::string server;
    std::size_t length = 0;
    if (!parse_bits(f[0], r.ping_ms) || !parse_bits(f[1], r.download_mbps) ||
        !parse_bits(f[2], r.upload_mbps) || !parse_int(f[3], r.duration_ms) ||
        !parse_bits(f[4], r.jitter_ms) || !parse_hex(f[5], server) || !parse_int(f[8], length) ||
        server.size() > sizeof r.server || f[6].size() > sizeof r.phase) {
        return report(t, row, "malformed record row");
    }
    std::memcpy(r.server, server.data(), server.size());
    std::memcpy(r.phase, f[6].data(), f[6].size());

    const std::string_view expected = f[7];
    const bool want_fail = expected == kFail;
    if (length != (want_fail ? 0 : expected.size())) {
        return report(t, row, "malformed record row: length column disagrees with text");
    }

    char buf[kRecordBufSize];
    std::size_t got_len = 0;
    const bool ok = linkrate::render_result_json(r, buf, sizeof buf, &got_len);
    const std::string_view got(buf, ok ? got_len : 0);
    if (want_fail ? !ok : (ok && got_len == length && got == expected)) {
        ++t.passed;
    } else {
        mismatch(t, row, expected, ok, got);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <vector folder>\n", argc > 0 ? argv[0] : "check_vectors");
        return 2;
    }
    const std::string folder = argv[1];
    Tally t;
    run_file(t, folder, "reals.tsv", "bits\ttext", 2, check_real);
    run_file(t, folder, "ints.tsv", "value\ttext", 2, check_int);
    run_file(t, folder, "strings.tsv", "hex\ttext", 2, check_string);
    run_file(t, folder, "records.tsv",
             "ping_ms_bits\tdownload_mbps_bits\tupload_mbps_bits\tduration_ms\tjitter_ms_bits\t"
             "server_hex\tphase\ttext\tlength",
             9, check_record);

    std::printf("%ld passed, %ld failed\n", t.passed, t.failed);
    return (t.failed == 0 && !t.broken) ? 0 : 1;
}
