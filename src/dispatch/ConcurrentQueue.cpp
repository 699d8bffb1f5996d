#include "dispatch/ConcurrentQueue.h"

#include "dispatch/SerialQueue.h"
#include "dispatch/WorkerThread.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

namespace vorn::dispatch {

// Shared with the worker threads, which are detached: the pool may be
// destroyed by one of its own tasks, and a thread cannot join itself.
struct ConcurrentQueue::State {
    State(std::string name, std::size_t max, std::chrono::milliseconds idle)
        : label(std::move(name)), maxThreads(max == 0 ? 1 : max), idleTimeout(idle) {}

    void work();

    const std::string label;
    const std::size_t maxThreads;
    const std::chrono::milliseconds idleTimeout;

    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<Task> tasks;
    std::size_t threads = 0;
    std::size_t idle = 0;
    bool closing = false;
};

void ConcurrentQueue::State::work() {
    detail::nameCurrentThread(label);
    std::unique_lock lock(mutex);
    for (;;) {
        if (!tasks.empty()) {
            Task task = std::move(tasks.front());
            tasks.pop_front();
            lock.unlock();
            try {
                task();
            } catch (...) {
                detail::reportUncaughtException(label);
            }
            // Release what the task captured before taking the lock again.
            task = nullptr;
            lock.lock();
            continue;
        }
        if (closing) {
            break;
        }
        ++idle;
        const bool woken = wake.wait_for(lock, idleTimeout, [this] { return !tasks.empty() || closing; });
        --idle;
        if (!woken) {
            break;
        }
    }
    --threads;
}

namespace {

// Delayed tasks of every pool wait on this one thread and then move to their
// pool. Intentionally never destroyed: pools live until exit.
SerialQueue& delayQueue() {
    static auto* queue = new std::shared_ptr<SerialQueue>(SerialQueue::create("vorn.pool-timers"));
    return **queue;
}

}  // namespace

std::shared_ptr<ConcurrentQueue> ConcurrentQueue::create(std::string label, std::size_t maxThreads,
                                                         std::chrono::milliseconds idleTimeout) {
    return std::make_shared<ConcurrentQueue>(Key{}, std::move(label), maxThreads, idleTimeout);
}

ConcurrentQueue::ConcurrentQueue(Key, std::string label, std::size_t maxThreads,
                                 std::chrono::milliseconds idleTimeout)
    : state_(std::make_shared<State>(std::move(label), maxThreads, idleTimeout)) {}

ConcurrentQueue::~ConcurrentQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->closing = true;
    }
    state_->wake.notify_all();
}

void ConcurrentQueue::async(Task task) {
    std::unique_lock lock(state_->mutex);
    if (state_->closing) {
        return;
    }
    state_->tasks.push_back(std::move(task));
    // More tasks waiting than idle threads to take them: grow.
    if (state_->tasks.size() <= state_->idle || state_->threads >= state_->maxThreads) {
        lock.unlock();
        state_->wake.notify_one();
        return;
    }
    ++state_->threads;
    try {
        std::thread([state = state_] { state->work(); }).detach();
    } catch (const std::system_error&) {
        // Out of threads: the ones there are will get to the task, unless
        // there are none at all.
        --state_->threads;
        if (state_->threads == 0) {
            state_->tasks.pop_back();
            throw;
        }
        lock.unlock();
        state_->wake.notify_one();
    }
}

void ConcurrentQueue::asyncAfter(Duration delay, Task task) {
    delayQueue().asyncAfter(delay, [pool = weak_from_this(), task = std::move(task)] {
        if (auto self = pool.lock()) {
            self->async(task);
        }
    });
}

std::string_view ConcurrentQueue::label() const {
    return state_->label;
}

std::size_t ConcurrentQueue::threadCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->threads;
}

// The global pools are leaked on purpose: tasks may still be running on them
// at exit, and a pool destroyed under them would be worse than one never
// freed. The static pointers keep them reachable for leak checkers.

std::shared_ptr<Queue> globalQueue(QualityOfService quality) {
    static auto* const userInitiated =
        new std::shared_ptr<Queue>(ConcurrentQueue::create("vorn.user-initiated"));
    static auto* const standard = new std::shared_ptr<Queue>(ConcurrentQueue::create("vorn.standard"));
    switch (quality) {
    case QualityOfService::userInitiated:
        return *userInitiated;
    case QualityOfService::standard:
        break;
    }
    return *standard;
}

std::shared_ptr<Queue> sharedExecutor() {
    static auto* const executor = new std::shared_ptr<Queue>(ConcurrentQueue::create("vorn.executor"));
    return *executor;
}

}  // namespace vorn::dispatch
