#include "interrupt.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "progress.h"
#include "system.h"
#include "tarnwell/linkrate.h"

namespace linkrate_cli {
namespace {

// The exit status the first interrupt asked for; 0 while none arrived.
std::atomic<int> g_status{0};
std::atomic<InterruptMode> g_mode{InterruptMode::test};
std::atomic<bool> g_announce{false};
// True while a library test call runs on the main thread.
std::atomic<bool> g_in_test_call{false};

// The watcher may still be signalling when the main thread returns from
// main(), so these two are never destroyed.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_signalled = *new std::condition_variable;

// A library call drops a cancel that came before it started (it clears the
// flag first), and the program cannot see that moment: an interrupt just
// before the call would be lost. So the request is repeated while a test
// call runs. Once the flag has been cleared the call keeps a cancel to its
// end, between the tests of a full run too, and the main thread starts no
// call after the interrupt, so nothing is repeated between calls.
void repeat_cancel() {
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (g_in_test_call.load()) linkrate_cancel();
    }
}

}  // namespace

void install_interrupt_handler() { start_interrupt_watch(); }

void interrupt_arrived(int exit_status) {
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_status.store(exit_status);
    }
    g_signalled.notify_all();
    linkrate_cancel();
    if (g_announce.load() && stderr_is_terminal()) {
        const std::string note = clear_line() + "linkrate: stopping...\n";
        write_stderr(note.data(), note.size());
    }
    try {
        std::thread(repeat_cancel).detach();
    } catch (const std::system_error&) {
        // No thread to spare: the one cancel above has to do.
    }
}

void interrupt_again() {
    if (stderr_is_terminal()) write_stderr("\n", 1);
    exit_now(g_mode.load() == InterruptMode::serve ? 0 : g_status.load());
}

void set_interrupt_mode(InterruptMode mode, bool announce) {
    g_mode.store(mode);
    g_announce.store(announce);
}

bool interrupted() { return g_status.load() != 0; }

TestCall::TestCall() { g_in_test_call.store(true); }

TestCall::~TestCall() { g_in_test_call.store(false); }

int interrupt_exit_status() { return g_status.load(); }

void wait_for_interrupt() {
    std::unique_lock<std::mutex> hold(g_lock);
    g_signalled.wait(hold, [] { return interrupted(); });
}

}  // namespace linkrate_cli
