// The deepest stack that the library's calls need on their caller's thread,
// libcurl, OpenSSL and name resolution included. Each call runs on a thread
// whose stack is painted with a pattern beforehand; the lowest byte that no
// longer holds the pattern marks the depth. Bindings that run the calls on a
// stack of their own (koffi does) size it from these figures.
//
// Usage: stack_depth [LIMIT_BYTES [MARGIN]]
//   Prints the depth of every call. With LIMIT_BYTES, fails when a depth
//   times MARGIN (default 4) exceeds it.
#include <pthread.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "nginx_fixture.h"
#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace {

constexpr std::size_t kStackBytes = 16u << 20;
constexpr unsigned char kPaint = 0xA5;

void on_tick(const char*, double, std::int32_t) {}

struct Job {
    std::function<bool()> call;
    bool ok = false;
};

void* run_job(void* arg) {
    auto* job = static_cast<Job*>(arg);
    job->ok = job->call();
    return nullptr;
}

// Runs `call` on a painted stack; returns the bytes used, or 0 on failure.
std::size_t measure(const std::function<bool()>& call, bool& ok) {
    void* stack = mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED) return 0;
    std::memset(stack, kPaint, kStackBytes);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstack(&attr, stack, kStackBytes);
    Job job{call};
    pthread_t thread;
    std::size_t used = 0;
    if (pthread_create(&thread, &attr, run_job, &job) == 0) {
        pthread_join(thread, nullptr);
        const auto* bytes = static_cast<const unsigned char*>(stack);
        std::size_t untouched = 0;
        while (untouched < kStackBytes && bytes[untouched] == kPaint) ++untouched;
        used = kStackBytes - untouched;
    }
    pthread_attr_destroy(&attr);
    munmap(stack, kStackBytes);
    ok = job.ok;
    return used;
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t limit = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 0;
    const std::size_t margin = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 4;

    linkrate::test::NginxFixture nginx;
    if (!nginx.ok()) {
        std::fprintf(stderr, "stack_depth: nginx did not start\n");
        return 1;
    }
    // By name, so that the resolver's stack counts too.
    auto by_name = [](std::string base) {
        return base.replace(base.find("127.0.0.1"), 9, "localhost");
    };
    const std::string https = by_name(nginx.https_base());
    int port = 0;

    struct Scenario {
        const char* name;
        std::function<bool()> call;
    };
    const std::vector<Scenario> scenarios = {
        {"idle thread", [] { return true; }},
        {"linkrate_init", [] { return linkrate_init() == 0; }},
        {"linkrate_start_server",
         [&] { return (port = linkrate::test::start_server_on_free_port()) > 0; }},
        {"linkrate_ping (localhost)", [&] { return linkrate_ping("localhost", port, 2) > 0; }},
        {"linkrate_download (localhost)",
         [&] { return linkrate_download("localhost", port, 200) > 0; }},
        {"linkrate_upload (localhost)",
         [&] { return linkrate_upload("localhost", port, 200) > 0; }},
        {"linkrate_run_all (localhost)",
         [&] { return linkrate_run_all("localhost", port, 200) == 0; }},
        {"linkrate_internet_run (HTTPS, ticks)",
         [&] {
             linkrate_set_tick(on_tick);
             return linkrate_internet_run(https.c_str()) == 0;
         }},
        {"linkrate_result_json", [] { return linkrate_result_json()[0] == '{'; }},
        {"linkrate_stop_server",
         [] {
             linkrate_stop_server();
             return true;
         }},
        {"linkrate_cleanup",
         [] {
             linkrate_cleanup();
             return true;
         }},
    };

    // The first scenario, a thread that calls nothing, holds what the thread
    // itself keeps on its stack (thread-local storage; a lot of it under a
    // sanitizer): the figures of the calls are over and above it.
    std::size_t baseline = 0;
    std::size_t deepest = 0;
    bool failed = false;
    for (const auto& scenario : scenarios) {
        bool ok = false;
        const std::size_t used = measure(scenario.call, ok);
        if (&scenario == &scenarios.front()) {
            baseline = used;
            std::printf("%-40s %8zu bytes of thread state\n", scenario.name, used);
            continue;
        }
        const std::size_t depth = used > baseline ? used - baseline : 0;
        std::printf("%-40s %8zu bytes%s\n", scenario.name, depth, ok ? "" : "  (call failed)");
        failed |= !ok;
        if (depth > deepest) deepest = depth;
    }
    std::printf("%-40s %8zu bytes\n", "deepest", deepest);
    if (failed) return 1;
    if (limit > 0 && deepest * margin > limit) {
        std::fprintf(stderr, "stack_depth: %zu bytes x %zu exceeds the %zu bytes given to calls\n",
                     deepest, margin, limit);
        return 1;
    }
    return 0;
}
