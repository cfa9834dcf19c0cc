// What the program needs of the operating system beside the library: the
// interrupt keys, the terminal that stderr may be, a free port, and the
// probes of net_probe.h. Each system's code sits in one file of its own:
// system_posix.cpp and system_win32.cpp.
#pragma once

#include <cstddef>

namespace linkrate_cli {

// Starts watching for the interrupt: SIGINT and SIGTERM on POSIX (blocked in
// every thread first, so call it before any other thread exists); Ctrl-C,
// Ctrl-Break and the console's closing on Windows. The first calls
// interrupt_arrived(), every later one interrupt_again() (interrupt.h).
void start_interrupt_watch();

// Ends the process at once with `status`, running no clean-up.
[[noreturn]] void exit_now(int status);

// Whether stderr is a terminal (a console on Windows).
bool stderr_is_terminal();
// Its width in columns; 80 when it has none.
std::size_t stderr_columns();
// The width in columns of the terminal that stdout is; 0 when it is none.
std::size_t stdout_columns();
// Whether the terminal takes "\033[K" to clear a line. Where it does not, a
// line is cleared by writing over it.
bool stderr_takes_vt();
// Writes all of `text` to stderr unbuffered, as far as it goes.
void write_stderr(const char* text, std::size_t size);

#ifdef _WIN32
// The console control handler (Ctrl-C, Ctrl-Break, the console closing):
// TRUE for the events it takes. Its tests call it directly.
int __stdcall console_control(unsigned long event);
#endif

// A TCP port on 127.0.0.1 that the system reports free right now; -1 when
// there is none.
int free_loopback_port();

}  // namespace linkrate_cli
