// The parts of the network probes that every system shares.
#include "net_probe.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace linkrate_cli {
namespace {

// What the look-up thread and the waiting thread share; the last of the two
// to let go of it frees it.
struct LookupState {
    std::mutex lock;
    std::condition_variable done_signal;
    bool done = false;
    Lookup result;
};

}  // namespace

Lookup lookup_host(const std::string& host, ProbeClock::time_point deadline) {
    auto state = std::make_shared<LookupState>();
    try {
        std::thread([state, host] {
            Lookup result = run_lookup(host);
            std::lock_guard<std::mutex> hold(state->lock);
            state->result = std::move(result);
            state->done = true;
            state->done_signal.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        return Lookup{LookupOutcome::timed_out, {}, {}};  // no thread: nothing learnt
    }
    std::unique_lock<std::mutex> hold(state->lock);
    if (!state->done_signal.wait_until(hold, deadline, [&] { return state->done; })) {
        return Lookup{LookupOutcome::timed_out, {}, {}};
    }
    return state->result;
}

}  // namespace linkrate_cli
