#include "interrupt.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <thread>

#include "tarnwell/linkrate.h"

namespace linkrate_cli {
namespace {

// The first signal's number; 0 while none arrived.
std::atomic<int> g_signal{0};
std::atomic<InterruptMode> g_mode{InterruptMode::test};
std::atomic<bool> g_announce{false};
// True while a library test call runs on the main thread.
std::atomic<bool> g_in_test_call{false};

// The watcher thread may still be signalling when the main thread returns from
// main(), so these two are never destroyed.
std::mutex& g_lock = *new std::mutex;
std::condition_variable& g_signalled = *new std::condition_variable;

void say(const char* text, std::size_t size) {
    // Best effort: the note matters only to a person watching the terminal.
    ssize_t ignored = write(STDERR_FILENO, text, size);
    (void)ignored;
}

void watch(sigset_t set) {
    int first = 0;
    while (first == 0) {
        if (sigwait(&set, &first) != 0) first = 0;
    }
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_signal.store(first);
    }
    g_signalled.notify_all();
    linkrate_cancel();
    if (g_announce.load() && isatty(STDERR_FILENO) == 1) {
        static const char kNote[] = "\r\033[Klinkrate: stopping...\n";
        say(kNote, sizeof kNote - 1);
    }
    // A library call drops a cancel that came before it started (it clears
    // the flag first), and the program cannot see that moment: a signal just
    // before the call would be lost. So the request is repeated while a test
    // call runs. Once the flag has been cleared the call keeps a cancel to
    // its end, between the tests of a full run too, and the main thread
    // starts no call after the signal, so nothing is repeated between calls.
    const timespec period{0, 10L * 1000 * 1000};
    for (;;) {
        if (sigtimedwait(&set, nullptr, &period) > 0) {
            if (isatty(STDERR_FILENO) == 1) say("\n", 1);
            _exit(g_mode.load() == InterruptMode::serve ? 0 : 128 + first);
        }
        if (g_in_test_call.load()) linkrate_cancel();
    }
}

}  // namespace

void install_interrupt_handler() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    // The watcher takes the signals synchronously, so the cancel request is an
    // ordinary call rather than work inside a signal handler.
    std::thread(watch, set).detach();
}

void set_interrupt_mode(InterruptMode mode, bool announce) {
    g_mode.store(mode);
    g_announce.store(announce);
}

bool interrupted() { return g_signal.load() != 0; }

TestCall::TestCall() { g_in_test_call.store(true); }

TestCall::~TestCall() { g_in_test_call.store(false); }

int interrupt_exit_status() {
    const int signal_number = g_signal.load();
    return signal_number == 0 ? 0 : 128 + signal_number;
}

void wait_for_interrupt() {
    std::unique_lock<std::mutex> hold(g_lock);
    g_signalled.wait(hold, [] { return interrupted(); });
}

}  // namespace linkrate_cli
