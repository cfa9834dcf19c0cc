// Helpers of the stress tests: the process's resources before a test and the
// check that they are back, threads that call linkrate_cancel over and over,
// and a host thread that polls the JSON text and checks every text it reads.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linkrate::test {

constexpr const char* kLoopback = "127.0.0.1";

// Fewer rounds under a sanitizer, which slows every call down many times; the
// same paths are taken, only less often.
int rounds(int plain, int sanitized);

// The process's descriptors and threads, taken once the library is
// initialised and the process has made a thread.
class Baseline {
public:
    Baseline();
    // Waits, bounded, until the threads and descriptors are back at the
    // baseline. With `port` > 0 also checks that nothing listens there and
    // that the server can be started on that port again (and stops it).
    void expect_back(int port = 0, int timeout_ms = 8000) const;

    // Waits, bounded, until the running server's connection threads have
    // all ended: one thread (its listener) more than the baseline.
    void expect_only_listener(int timeout_ms = 5000) const;

    int threads() const { return threads_; }
    int descriptors() const { return descriptors_; }

private:
    int threads_ = 0;
    int descriptors_ = 0;
};

// `threads` threads that each call linkrate_cancel, then pause `pause_us`
// microseconds, until the storm is stopped or dropped; at most `limit_ms`
// milliseconds in any case. A storm can be asked to start late.
class CancelStorm {
public:
    CancelStorm(int threads, int pause_us, int delay_ms = 0, int limit_ms = 30000);
    ~CancelStorm() { stop(); }
    CancelStorm(const CancelStorm&) = delete;
    CancelStorm& operator=(const CancelStorm&) = delete;

    void stop();
    long calls() const { return calls_.load(); }

private:
    std::atomic<bool> stopping_{false};
    std::atomic<long> calls_{0};
    std::vector<std::thread> threads_;
};

// The one host thread that polls linkrate_result_json while tests run on
// another thread. Every text it reads must be one whole JSON object with the
// seven members in their order and a known phase.
class JsonPoller {
public:
    JsonPoller();
    ~JsonPoller() { stop(); }
    JsonPoller(const JsonPoller&) = delete;
    JsonPoller& operator=(const JsonPoller&) = delete;

    // Stops polling; returns the number of reads.
    long stop();
    // Texts that failed the check (at most a few are kept).
    std::vector<std::string> bad_texts() const;
    // Distinct texts seen.
    long distinct() const { return distinct_.load(); }

private:
    void poll();

    std::atomic<bool> stopping_{false};
    std::atomic<long> reads_{0};
    std::atomic<long> distinct_{0};
    mutable std::mutex lock_;
    std::vector<std::string> bad_;
    std::thread thread_;
};

// True when `text` is the library's JSON object: the seven members in order,
// numbers where numbers belong and a known phase.
bool is_result_json(const std::string& text);

}  // namespace linkrate::test
