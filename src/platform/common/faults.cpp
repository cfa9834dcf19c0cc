#include <atomic>

#include "platform/platform.h"

namespace linkrate::platform {
namespace {

// Per kind: 0 = no fault pending, n > 0 = the n-th call from now fails.
std::atomic<int> g_fault_countdown[static_cast<int>(Fault::count_)];
// The unacknowledged count every socket reports; negative: the system's own.
std::atomic<long long> g_unacknowledged_report{-1};

}  // namespace

void fail_next(Fault fault, int skip) {
    g_fault_countdown[static_cast<int>(fault)].store(skip + 1);
}

void clear_faults() {
    for (auto& countdown : g_fault_countdown) countdown.store(0);
    g_unacknowledged_report.store(-1);
}

void report_unacknowledged(long long bytes) {
    g_unacknowledged_report.store(bytes < 0 ? -1 : bytes);
}

bool take_unacknowledged_report(std::uint64_t* bytes) {
    const long long report = g_unacknowledged_report.load();
    if (report < 0) return false;
    *bytes = static_cast<std::uint64_t>(report);
    return true;
}

bool take_fault(Fault fault) {
    auto& countdown = g_fault_countdown[static_cast<int>(fault)];
    // The common case is a plain load; only an armed fault counts down.
    int left = countdown.load();
    while (left > 0) {
        if (countdown.compare_exchange_weak(left, left - 1)) return left == 1;
    }
    return false;
}

}  // namespace linkrate::platform
