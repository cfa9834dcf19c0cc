#include "stress_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "tarnwell/linkrate.h"
#include "test_support.h"

namespace linkrate::test {
namespace {

constexpr int kPollerPauseUs = 200;
constexpr std::size_t kKeptBadTexts = 5;

}  // namespace

int rounds(int plain, int sanitized) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)plain;
    return sanitized;
#else
    (void)sanitized;
    return plain;
#endif
}

Baseline::Baseline() {
    EXPECT_EQ(linkrate_init(), 0);
    threads_ = settled_thread_count();
    descriptors_ = open_descriptor_count();
}

void Baseline::expect_back(int port, int timeout_ms) const {
    if (port > 0) {
        EXPECT_FALSE(listening_on(port)) << "port " << port << " still listens";
        EXPECT_EQ(linkrate_start_server(port), 0)
            << "port " << port << " not free again: " << linkrate_last_error();
        linkrate_stop_server();
    }
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_; }, timeout_ms))
        << thread_count() << " threads, " << threads_ << " before";
    EXPECT_TRUE(eventually([&] { return open_descriptor_count() == descriptors_; }, timeout_ms))
        << open_descriptor_count() << " descriptors, " << descriptors_ << " before";
}

void Baseline::expect_only_listener(int timeout_ms) const {
    EXPECT_TRUE(eventually([&] { return thread_count() == threads_ + 1; }, timeout_ms))
        << thread_count() << " threads, " << threads_ << " before the server started";
}

CancelStorm::CancelStorm(int threads, int pause_us, int delay_ms, int limit_ms) {
    const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay_ms);
    const auto deadline = start + std::chrono::milliseconds(limit_ms);
    for (int t = 0; t < threads; ++t) {
        threads_.emplace_back([this, pause_us, start, deadline] {
            while (!stopping_.load() && std::chrono::steady_clock::now() < start) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            while (!stopping_.load() && std::chrono::steady_clock::now() < deadline) {
                linkrate_cancel();
                calls_.fetch_add(1);
                if (pause_us > 0) std::this_thread::sleep_for(std::chrono::microseconds(pause_us));
            }
        });
    }
}

void CancelStorm::stop() {
    stopping_.store(true);
    for (auto& thread : threads_) {
        if (thread.joinable()) thread.join();
    }
}

JsonPoller::JsonPoller() : thread_([this] { poll(); }) {}

long JsonPoller::stop() {
    stopping_.store(true);
    if (thread_.joinable()) thread_.join();
    return reads_.load();
}

std::vector<std::string> JsonPoller::bad_texts() const {
    std::lock_guard<std::mutex> hold(lock_);
    return bad_;
}

void JsonPoller::poll() {
    std::string previous;
    // Bounded by the stop; a test that forgets it still ends within its time-out.
    while (!stopping_.load()) {
        const char* text = linkrate_result_json();
        std::string copy = text;
        reads_.fetch_add(1);
        if (copy != previous) {
            distinct_.fetch_add(1);
            if (!is_result_json(copy)) {
                std::lock_guard<std::mutex> hold(lock_);
                if (bad_.size() < kKeptBadTexts) bad_.push_back(copy);
            }
            previous = std::move(copy);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(kPollerPauseUs));
    }
}

bool is_result_json(const std::string& text) {
    const nlohmann::ordered_json parsed = nlohmann::ordered_json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() || parsed.size() != 7) return false;
    static const char* const kMembers[] = {
        "ping_ms", "download_mbps", "upload_mbps", "duration_ms", "jitter_ms", "server", "phase"};
    int k = 0;
    for (const auto& [key, value] : parsed.items()) {
        if (key != kMembers[k]) return false;
        const bool text_member = k >= 5;
        if (text_member ? !value.is_string() : !value.is_number()) return false;
        ++k;
    }
    const std::string phase = parsed["phase"];
    return phase == "idle" || phase == "ping" || phase == "download" || phase == "upload" ||
           phase == "complete";
}

}  // namespace linkrate::test
