#include "interrupt.h"

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "tarnwell/linkrate.h"

namespace linkrate_cli {
namespace {

std::atomic<bool> g_interrupted{false};

// The watcher thread may still be signalling when the main thread returns from
// main(), so these two are never destroyed.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_signalled = *new std::condition_variable;

}  // namespace

void install_interrupt_handler() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // The watcher takes the signals synchronously, so the cancel request is an
    // ordinary call rather than work inside a signal handler.
    std::thread([set] {
        int signal_number = 0;
        while (sigwait(&set, &signal_number) == 0) {
            linkrate_cancel();
            std::lock_guard<std::mutex> hold(g_lock);
            g_interrupted.store(true);
            g_signalled.notify_all();
        }
    }).detach();
}

bool interrupted() { return g_interrupted.load(); }

void wait_for_interrupt() {
    std::unique_lock<std::mutex> hold(g_lock);
    g_signalled.wait(hold, [] { return g_interrupted.load(); });
}

}  // namespace linkrate_cli
