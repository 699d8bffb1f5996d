#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

// Ways for a test to wait for other threads. The time-outs only keep a broken
// build from hanging; no test depends on how long anything takes.
namespace vorn::dispatch::testing {

inline constexpr std::chrono::milliseconds patience{20'000};

// Reaches zero after `count` arrivals; Countdown(1) is a one-off event.
class Countdown {
public:
    explicit Countdown(std::size_t count = 1) : remaining_(count) {}

    // Notifies under the lock: a waiter may destroy this once it sees zero.
    void arrive() {
        std::lock_guard lock(mutex_);
        remaining_ -= remaining_ > 0 ? 1 : 0;
        changed_.notify_all();
    }

    [[nodiscard]] bool wait(std::chrono::milliseconds timeout = patience) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [this] { return remaining_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t remaining_;
};
using Event = Countdown;

// Arrives when destroyed: shows that whoever held it has let go.
struct ReleaseMarker {
    Event& released;
    ~ReleaseMarker() { released.arrive(); }
};

}  // namespace vorn::dispatch::testing
