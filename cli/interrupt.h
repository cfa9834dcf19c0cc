// Ctrl-C and SIGTERM: turned into a cancel request for the running test.
#pragma once

namespace linkrate_cli {

enum class InterruptMode {
    test,   // a second signal ends the program at once with 128 + the first signal
    serve,  // the same, but with status 0: stopping a server is its normal end
};

// Blocks SIGINT and SIGTERM in every thread and starts a thread that waits for
// them. On the first one it marks the run as interrupted, says "stopping..."
// on stderr when announcing and stderr is a terminal, and asks the library to
// cancel; while a TestCall is alive it asks again every 10 ms, so that a call
// that started (and cleared the cancel flag) just after the signal is stopped
// too. A second signal ends the program at once. Call it first in main(),
// before any other thread exists; until set_interrupt_mode() the mode is
// `test` and nothing is announced.
void install_interrupt_handler();

void set_interrupt_mode(InterruptMode mode, bool announce);

// True once SIGINT or SIGTERM arrived.
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

// The exit status that the first signal asks for: 130 for SIGINT, 143 for
// SIGTERM; 0 while none arrived.
int interrupt_exit_status();

// Blocks until SIGINT or SIGTERM arrived.
void wait_for_interrupt();

}  // namespace linkrate_cli
