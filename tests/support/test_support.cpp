#include "test_support.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "tarnwell/linkrate.h"

namespace linkrate::test {

int start_server_on_free_port(int attempts) {
    for (int i = 0; i < attempts; ++i) {
        int port = free_port();
        if (port > 0 && linkrate_start_server(port) == 0) return port;
    }
    return -1;
}

int settled_thread_count() {
    std::thread([] {}).join();
    // A joined thread can stay listed for a moment while the system finishes
    // with it (longer on a loaded machine), so the count is taken once it has
    // held still for 50 ms, within 2 s.
    using namespace std::chrono_literals;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    int count = thread_count();
    for (int steady = 0; steady < 5 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(10ms);
        int now = thread_count();
        steady = now == count ? steady + 1 : 0;
        count = now;
    }
    return count;
}

bool listening_on(int port) {
    auto ports = listening_ports();
    return std::find(ports.begin(), ports.end(), port) != ports.end();
}

bool eventually(const std::function<bool()>& condition, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace linkrate::test
