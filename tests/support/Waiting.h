#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

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

// What other threads hand over, in the order they hand it over.
template <class T>
class Recorded {
public:
    void add(T value) {
        std::lock_guard lock(mutex_);
        values_.push_back(std::move(value));
        changed_.notify_all();
    }

    // Everything once there are `count`; less only when the patience ran out.
    std::vector<T> waitFor(std::size_t count) const {
        return waitUntil([count](const std::vector<T>& values) { return values.size() >= count; });
    }

    // Everything once `done` holds for it; sooner only when the patience ran out.
    template <class Done>
    std::vector<T> waitUntil(Done done) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return done(values_); });
        return values_;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<T> values_;
};

}  // namespace vorn::dispatch::testing
