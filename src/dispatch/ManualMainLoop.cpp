#include "dispatch/ManualMainLoop.h"

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace vorn::dispatch {

namespace {

// Deadline first, then the order of scheduling, so that ties fire in the
// order they were set up.
using Slot = std::pair<Duration, std::uint64_t>;

struct RepeatingTimer {
    // A period of zero would fire without end; the shortest there is stands in.
    RepeatingTimer(Duration period, Task task) : interval(std::max(period, Duration(1))), tick(std::move(task)) {}
    const Duration interval;
    const Task tick;
    Slot slot{};  // guarded by State::mutex
};

struct Scheduled {
    Task task;                                  // a delayed task, or
    std::shared_ptr<RepeatingTimer> repeating;  // a timer's next tick
};

}  // namespace

struct ManualMainLoop::State {
    Slot nextSlot(Duration deadline) { return {deadline, sequence++}; }

    mutable std::mutex mutex;
    std::condition_variable posted;
    std::deque<Task> tasks;
    std::map<Slot, Scheduled> schedule;
    Duration now{0};
    std::uint64_t sequence = 0;
};

ManualMainLoop::ManualMainLoop() : state_(std::make_shared<State>()), mainThread_(std::this_thread::get_id()) {}

ManualMainLoop::~ManualMainLoop() = default;

Duration ManualMainLoop::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->now;
}

std::size_t ManualMainLoop::runPosted() {
    std::size_t ran = 0;
    for (;;) {
        Task task;
        {
            std::lock_guard lock(state_->mutex);
            if (state_->tasks.empty()) {
                return ran;
            }
            task = std::move(state_->tasks.front());
            state_->tasks.pop_front();
        }
        task();
        ++ran;
    }
}

std::size_t ManualMainLoop::runPending() {
    std::size_t ran = runPosted();
    return ran + fireDue(now());
}

std::size_t ManualMainLoop::advance(Duration by) {
    std::size_t ran = runPending();
    return ran + fireDue(now() + by);
}

void ManualMainLoop::stall(Duration by) {
    std::lock_guard lock(state_->mutex);
    state_->now += by;
}

std::size_t ManualMainLoop::fireDue(Duration target) {
    std::size_t ran = 0;
    for (;;) {
        Scheduled due;
        {
            std::lock_guard lock(state_->mutex);
            auto first = state_->schedule.begin();
            if (first == state_->schedule.end() || first->first.first > target) {
                state_->now = std::max(state_->now, target);
                return ran;
            }
            // A deadline that a stall left behind fires now: the clock never
            // runs backwards.
            state_->now = std::max(state_->now, first->first.first);
            due = std::move(first->second);
            state_->schedule.erase(first);
            if (due.repeating) {
                // Rearm before the tick runs, so that the tick can cancel it.
                // The next deadline is on the grid, not "now + interval", and
                // past every deadline that the stall made it miss.
                auto& timer = *due.repeating;
                timer.slot = state_->nextSlot(nextDeadline(timer.slot.first, timer.interval, state_->now));
                state_->schedule.emplace(timer.slot, Scheduled{nullptr, due.repeating});
            }
        }
        if (due.repeating) {
            due.repeating->tick();
        } else {
            due.task();
        }
        ++ran;
        ran += runPosted();
    }
}

namespace {
constexpr auto recheckInterval = std::chrono::milliseconds(10);
}  // namespace

bool ManualMainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + realTimeout;
    for (;;) {
        runPending();
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        // Some conditions come true without a post (a background task letting
        // go of the last reference), so the wait also ends now and then to
        // look again.
        const auto wake = std::min(deadline, std::chrono::steady_clock::now() + recheckInterval);
        std::unique_lock lock(state_->mutex);
        state_->posted.wait_until(lock, wake, [this] { return !state_->tasks.empty(); });
    }
}

void ManualMainLoop::post(Task task) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(task));
    }
    state_->posted.notify_one();
}

void ManualMainLoop::postAfter(Duration delay, Task task) {
    std::lock_guard lock(state_->mutex);
    state_->schedule.emplace(state_->nextSlot(state_->now + delay), Scheduled{std::move(task), nullptr});
}

Cancellable ManualMainLoop::startRepeatingTimer(Duration interval, Task tick) {
    auto timer = std::make_shared<RepeatingTimer>(interval, std::move(tick));
    {
        std::lock_guard lock(state_->mutex);
        timer->slot = state_->nextSlot(state_->now + interval);
        state_->schedule.emplace(timer->slot, Scheduled{nullptr, timer});
    }
    return Cancellable([weakState = std::weak_ptr<State>(state_), weakTimer = std::weak_ptr<RepeatingTimer>(timer)] {
        auto state = weakState.lock();
        auto timer = weakTimer.lock();
        if (!state || !timer) {
            return;
        }
        std::lock_guard lock(state->mutex);
        state->schedule.erase(timer->slot);
    });
}

bool ManualMainLoop::isMainThread() const {
    return std::this_thread::get_id() == mainThread_;
}

}  // namespace vorn::dispatch
