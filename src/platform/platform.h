// The one internal interface to the operating system. Everything above
// src/platform/ reaches sockets' start-up, threads, the clock, pauses and the
// heap only through these functions, so a port to another system is one folder
// beside posix/. Socket calls of the LAN test live in socket.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace linkrate::platform {

// --- Socket library start-up -------------------------------------------------

// Starts the system's socket library; returns 0 on success. On POSIX there is
// nothing to start, so it fails only when a test asked it to (Fault::socket_startup).
int socket_library_start();
// Releases what socket_library_start() took. Never fails.
void socket_library_cleanup();

// --- Clock and pauses ----------------------------------------------------------

// Seconds on a monotonic clock; only differences of two readings mean anything.
double now_seconds();
// Pauses the calling thread for `ms` milliseconds.
void sleep_ms(int ms);

// --- Heap ------------------------------------------------------------------------

// malloc/free that a test can make fail (Fault::alloc). Returns nullptr on failure.
void* heap_alloc(std::size_t size);
void heap_free(void* block);

// Owns one heap_alloc() block for a scope.
struct HeapFree {
    void operator()(void* block) const { heap_free(block); }
};
using HeapBlock = std::unique_ptr<unsigned char, HeapFree>;
inline HeapBlock heap_block(std::size_t size) {
    return HeapBlock(static_cast<unsigned char*>(heap_alloc(size)));
}

// --- Threads ---------------------------------------------------------------------

// A started thread that can be waited for with a time-out. The thread itself
// is detached: dropping the handle neither stops it nor waits for it.
struct ThreadState;
using ThreadHandle = std::shared_ptr<ThreadState>;

using ThreadEntry = int (*)(void* arg);

// Starts `entry(arg)` on a new thread. Returns a handle, or nullptr when the
// thread cannot be created (also when a test asked for that, Fault::thread).
ThreadHandle thread_start(ThreadEntry entry, void* arg);
// Starts `entry(arg)` on a new thread whose handle is released at once.
// Returns false when the thread cannot be created.
bool thread_start_detached(ThreadEntry entry, void* arg);
// Waits up to `timeout_ms` for the thread to end; true when it has ended.
bool thread_wait(const ThreadHandle& thread, int timeout_ms);

// --- Fault injection (tests only; unreachable through the exported interface) --

enum class Fault {
    socket_startup,  // socket_library_start()
    alloc,           // heap_alloc()
    socket,          // socket creation
    thread,          // thread_start() and thread_start_detached()
    connect,         // a client's connect
    http_transfer,   // creation of an HTTP transfer handle (internet test)
    http_multi,      // creation of an HTTP multi-transfer handle (internet test)
    count_
};

// Makes the operation of kind `fault` fail once, after `skip` further calls
// of that kind have succeeded. A later call for the same kind replaces it.
void fail_next(Fault fault, int skip = 0);
// Clears every pending fault.
void clear_faults();
// Called by the operation itself: true when this call is to fail.
bool take_fault(Fault fault);

// Makes every socket report `bytes` not yet acknowledged by its peer, in
// place of what the system says, until clear_faults() or a negative count.
void report_unacknowledged(long long bytes);
// Called by socket_unacknowledged_bytes(): true, with the count in *bytes,
// while a test has asked for one.
bool take_unacknowledged_report(std::uint64_t* bytes);

}  // namespace linkrate::platform
