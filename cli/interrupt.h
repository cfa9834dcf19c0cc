// Ctrl-C, and SIGTERM or Ctrl-Break: turned into a cancel request for the
// running test. The system's part is in system.h.
#pragma once

namespace linkrate_cli {

enum class InterruptMode {
    test,   // a second signal ends the program at once with 128 + the first signal
    serve,  // the same, but with status 0: stopping a server is its normal end
};

// Starts watching for the interrupt (start_interrupt_watch()). On the first
// one the run is marked interrupted, "stopping..." goes to stderr when
// announcing and stderr is a terminal, and the library is asked to cancel;
// while a TestCall is alive it is asked again every 10 ms, so that a call that
// started (and cleared the cancel flag) just after the interrupt is stopped
// too. A second interrupt ends the program at once. Call it first in main(),
// before any other thread exists; until set_interrupt_mode() the mode is
// `test` and nothing is announced.
void install_interrupt_handler();

void set_interrupt_mode(InterruptMode mode, bool announce);

// True once an interrupt arrived.
bool interrupted();

// Marks a library test call under way for as long as it lives. Check
// interrupted() before making one: no call should start after a signal.
class TestCall {
public:
    TestCall();
    ~TestCall();
    TestCall(const TestCall&) = delete;
    TestCall& operator=(const TestCall&) = delete;
};

// The exit status that the first interrupt asks for: 130 for SIGINT, Ctrl-C
// and Ctrl-Break, 143 for SIGTERM; 0 while none arrived.
int interrupt_exit_status();

// Blocks until an interrupt arrived.
void wait_for_interrupt();

// Called by the system's watcher: the first interrupt, with the exit status
// it asks for, and every later one.
void interrupt_arrived(int exit_status);
[[noreturn]] void interrupt_again();

}  // namespace linkrate_cli
