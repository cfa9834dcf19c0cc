// The one internal interface to the operating system. Everything above
// src/platform/ reaches sockets' start-up, threads, the clock, pauses and the
// heap only through these functions, so a port to another system is one folder
// beside posix/ and win32/. Socket calls of the LAN test live in socket.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <utility>

namespace linkrate::platform {

// --- Socket library start-up -------------------------------------------------

// Starts the system's socket library; returns 0 on success, also when a test
// asked it to fail (Fault::socket_startup). Each successful start is matched
// by one socket_library_cleanup(); the system counts them.
int socket_library_start();
// Releases what socket_library_start() took. Never fails.
void socket_library_cleanup();

// --- Clock and pauses ----------------------------------------------------------

// Seconds on a monotonic clock; only differences of two readings mean anything.
double now_seconds();
// Pauses the calling thread for `ms` milliseconds.
void sleep_ms(int ms);

// --- Locks ------------------------------------------------------------------------

// A mutual-exclusion lock for short sections that never wait on the network;
// std::lock_guard takes it. Not recursive. Each port keeps its system's own
// lock inside the storage.
class Lock {
public:
    Lock() noexcept;
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void lock() noexcept;
    void unlock() noexcept;

private:
    alignas(16) unsigned char storage_[64];
};

// --- Keeping the library loaded --------------------------------------------------

// Keeps the library's own code mapped for the rest of the process, so that a
// thread it started may go on after the host has unloaded it. False when the
// system refused; where the link already did it, there is nothing to do.
bool pin_library();

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

// The work of a new thread. A task owns what the thread needs (a socket, a
// share of some state), so nothing has to be packed into a pointer, and a
// task that never runs releases it when it is destroyed.
class ThreadTask {
public:
    virtual ~ThreadTask() = default;
    virtual void run() = 0;
};
using ThreadTaskPtr = std::unique_ptr<ThreadTask>;

// Wraps the callable `body` (move-only is fine) in a task; nullptr when there
// is no memory for it, and `body` is then dropped.
template <class Body>
ThreadTaskPtr make_thread_task(Body body) {
    struct Task final : ThreadTask {
        explicit Task(Body&& b) : body(std::move(b)) {}
        void run() override { body(); }
        Body body;
    };
    return ThreadTaskPtr(new (std::nothrow) Task(std::move(body)));
}

// Runs `task` on a new thread. Returns a handle, or nullptr when `task` is
// null or the thread cannot be created (also when a test asked for that,
// Fault::thread); the task is then destroyed on the calling thread.
ThreadHandle thread_start(ThreadTaskPtr task);
// Runs `task` on a new thread whose handle is released at once. Returns
// false, with the task destroyed, as thread_start() would return nullptr.
bool thread_start_detached(ThreadTaskPtr task);
// Waits up to `timeout_ms` for the thread to end; true when it has ended.
// Fault::thread_wait makes it return false at once, as if the time ran out.
bool thread_wait(const ThreadHandle& thread, int timeout_ms);

// --- Fault injection (tests only; unreachable through the exported interface) --

enum class Fault {
    socket_startup,  // socket_library_start()
    alloc,           // heap_alloc()
    socket,          // socket creation
    thread,          // thread_start() and thread_start_detached()
    thread_wait,     // thread_wait() reports a time-out at once
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
