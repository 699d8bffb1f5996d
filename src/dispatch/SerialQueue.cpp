#include "dispatch/SerialQueue.h"

#include "dispatch/WorkerThread.h"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <atomic>
#include <cstdint>
#include <exception>
#include <future>
#include <map>
#include <thread>
#include <utility>

namespace vorn::dispatch {

// Everything the queue's thread needs. The thread holds a reference of its
// own, so the queue can be destroyed from inside one of its tasks: the thread
// then finishes the drain and releases the rest.
struct SerialQueue::Core {
    explicit Core(std::string name, SerialQueue* queue) : label(std::move(name)), owner(queue) {}

    void run();
    void startDelayed(std::chrono::steady_clock::time_point deadline, Task task);
    void beginShutdown();

    const std::string label;
    asio::io_context context;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning{context.get_executor()};

    // Set once the queue is being destroyed; from then on nothing new is
    // accepted.
    std::atomic<bool> closed{false};
    std::atomic<SerialQueue*> owner;

    // Delayed tasks waiting for their deadline. Touched on the queue's thread
    // only. Declared after `context` so that they are destroyed first.
    std::map<std::uint64_t, asio::steady_timer> delayed;
    std::uint64_t nextDelayedId = 0;

    std::thread thread;
};

namespace {

thread_local const void* currentCore = nullptr;

}  // namespace

void SerialQueue::Core::run() {
    currentCore = this;
    detail::nameCurrentThread(label);
    for (;;) {
        try {
            context.run();
            break;
        } catch (...) {
            // Asio lets the handler's exception out of run(); calling run()
            // again carries on with the next task.
            detail::reportUncaughtException(label);
        }
    }
    currentCore = nullptr;
}

void SerialQueue::Core::startDelayed(std::chrono::steady_clock::time_point deadline, Task task) {
    if (closed.load()) {
        return;  // Not due before the queue went away: dropped.
    }
    const auto id = nextDelayedId++;
    auto& timer = delayed.try_emplace(id, context, deadline).first->second;
    timer.async_wait([this, id, task = std::move(task)](const asio::error_code& error) {
        delayed.erase(id);
        if (!error) {
            task();
        }
    });
}

void SerialQueue::Core::beginShutdown() {
    // Tasks queued before this one have run by now. Cancelled timers release
    // their tasks through handlers queued behind this one; the stop comes
    // after those, so nothing is left holding captured state.
    for (auto& [id, timer] : delayed) {
        timer.cancel();
    }
    asio::post(context, [this] { context.stop(); });
}

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::make_shared<SerialQueue>(Key{}, std::move(label));
}

SerialQueue::SerialQueue(Key, std::string label) : core_(std::make_shared<Core>(std::move(label), this)) {
    core_->thread = std::thread([core = core_] { core->run(); });
}

SerialQueue::~SerialQueue() {
    core_->owner.store(nullptr);
    core_->closed.store(true);
    asio::post(core_->context, [core = core_.get()] { core->beginShutdown(); });
    if (isCurrent()) {
        // A task is destroying its own queue; the thread cannot wait for
        // itself. It holds the core and lets go of it once drained.
        core_->thread.detach();
    } else {
        core_->thread.join();
    }
}

void SerialQueue::async(Task task) {
    if (core_->closed.load()) {
        return;
    }
    asio::post(core_->context, std::move(task));
}

void SerialQueue::asyncAfter(Duration delay, Task task) {
    if (core_->closed.load()) {
        return;
    }
    // The deadline counts from now, not from when the queue gets round to
    // arming the timer.
    const auto deadline = std::chrono::steady_clock::now() + delay;
    asio::post(core_->context, [core = core_.get(), deadline, task = std::move(task)]() mutable {
        core->startDelayed(deadline, std::move(task));
    });
}

std::string_view SerialQueue::label() const {
    return core_->label;
}

void SerialQueue::sync(const Task& task) {
    if (isCurrent()) {
        task();
        return;
    }
    // The promise travels with the handler: should the queue drop the handler
    // unrun, the waiter gets a broken promise instead of waiting for ever.
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(core_->context, [&task, done = std::move(done)]() mutable {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialQueue::isCurrent() const noexcept {
    return currentCore == core_.get();
}

SerialQueue* SerialQueue::current() noexcept {
    const auto* core = static_cast<const Core*>(currentCore);
    return core != nullptr ? core->owner.load() : nullptr;
}

asio::io_context& SerialQueue::context() noexcept {
    return core_->context;
}

}  // namespace vorn::dispatch
