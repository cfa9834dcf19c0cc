// Ctrl-C and SIGTERM: turned into a cancel request for the running test.
#pragma once

namespace linkrate_cli {

// Blocks SIGINT and SIGTERM in every thread and starts a thread that waits for
// them. On the first one it calls linkrate_cancel() and marks the run as
// interrupted. Call it before any other thread exists.
void install_interrupt_handler();

// True once SIGINT or SIGTERM arrived.
bool interrupted();

// Blocks until SIGINT or SIGTERM arrived.
void wait_for_interrupt();

}  // namespace linkrate_cli
