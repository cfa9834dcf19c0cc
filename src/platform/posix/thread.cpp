#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace linkrate::platform {

// Shared by the running thread and its handle: the thread marks itself ended
// here, so a waiter with a time-out needs no join.
struct ThreadState {
    std::mutex lock;
    std::condition_variable ended_cv;
    bool ended = false;
};

namespace {

bool spawn(ThreadTaskPtr task, std::shared_ptr<ThreadState> state) {
    if (!task || take_fault(Fault::thread)) return false;
    try {
        std::thread([task = std::move(task), state = std::move(state)] {
            task->run();
            if (state) {
                std::lock_guard<std::mutex> hold(state->lock);
                state->ended = true;
                state->ended_cv.notify_all();
            }
        }).detach();
        return true;
    } catch (const std::exception&) {
        // std::system_error when the system has no thread to give, or bad_alloc.
        return false;
    }
}

}  // namespace

ThreadHandle thread_start(ThreadTaskPtr task) {
    ThreadHandle state;
    try {
        state = std::make_shared<ThreadState>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    return spawn(std::move(task), state) ? state : nullptr;
}

bool thread_start_detached(ThreadTaskPtr task) { return spawn(std::move(task), nullptr); }

bool thread_wait(const ThreadHandle& thread, int timeout_ms) {
    if (take_fault(Fault::thread_wait)) return false;
    std::unique_lock<std::mutex> hold(thread->lock);
    return thread->ended_cv.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                                     [&] { return thread->ended; });
}

}  // namespace linkrate::platform
