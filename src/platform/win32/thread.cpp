#include <memory>
#include <new>

#include "platform/platform.h"
#include "platform/win32/windows.h"

namespace linkrate::platform {

// The thread's own handle, closed when the last owner lets go. The system
// signals it when the thread has ended, which is all a waiter needs.
struct ThreadState {
    HANDLE handle = nullptr;
    ThreadState() = default;
    ThreadState(const ThreadState&) = delete;
    ThreadState& operator=(const ThreadState&) = delete;
    ~ThreadState() {
        if (handle != nullptr) CloseHandle(handle);
    }
};

namespace {

DWORD WINAPI run_task(LPVOID argument) {
    ThreadTaskPtr task(static_cast<ThreadTask*>(argument));
    task->run();
    return 0;
}

// The new thread's handle, or null; the task belongs to the thread once it
// is created, and is destroyed here otherwise.
HANDLE spawn(ThreadTaskPtr task) {
    if (!task || take_fault(Fault::thread)) return nullptr;
    HANDLE handle = CreateThread(nullptr, 0, run_task, task.get(), 0, nullptr);
    if (handle != nullptr) task.release();
    return handle;
}

}  // namespace

ThreadHandle thread_start(ThreadTaskPtr task) {
    ThreadHandle state;
    try {
        state = std::make_shared<ThreadState>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    state->handle = spawn(std::move(task));
    return state->handle != nullptr ? state : nullptr;
}

bool thread_start_detached(ThreadTaskPtr task) {
    HANDLE handle = spawn(std::move(task));
    if (handle == nullptr) return false;
    CloseHandle(handle);
    return true;
}

bool thread_wait(const ThreadHandle& thread, int timeout_ms) {
    if (take_fault(Fault::thread_wait)) return false;
    DWORD limit = timeout_ms < 0 ? 0 : static_cast<DWORD>(timeout_ms);
    return WaitForSingleObject(thread->handle, limit) == WAIT_OBJECT_0;
}

}  // namespace linkrate::platform
