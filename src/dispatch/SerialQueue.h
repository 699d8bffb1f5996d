#pragma once

#include "dispatch/Queue.h"

#include <asio/io_context.hpp>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

namespace vorn::dispatch {

// A queue that runs its tasks one at a time, in submission order, on a thread
// of its own.
//
// The thread runs an Asio io_context, so timers, sockets and descriptor waits
// that other layers create on context() complete on the same thread as the
// queue's tasks. Because the thread belongs to this queue alone, a sync()
// never waits for some pool to have a free thread.
//
// Destroying the queue, from any thread and also from one of its own tasks,
// lets the tasks that are already waiting run, drops delayed tasks that are
// not yet due, and ignores anything submitted after that.
class SerialQueue final : public Queue {
    struct Core;
    struct Key {};

public:
    static std::shared_ptr<SerialQueue> create(std::string label);

    SerialQueue(Key, std::string label);
    ~SerialQueue() override;

    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    void async(Task task) override;
    void asyncAfter(Duration delay, Task task) override;
    std::string_view label() const override;
    bool isSerial() const override { return true; }

    // Runs `task` on this queue and returns once it has finished; what the
    // task throws is rethrown here. Called from one of this queue's own tasks,
    // it runs `task` at once instead of waiting for itself.
    void sync(const Task& task);

    // As sync(), returning what `f` returns.
    template <class F>
    std::invoke_result_t<F&> syncResult(F f);

    // True when the calling code runs on this queue.
    bool isCurrent() const noexcept;

    // The queue whose task is running on the calling thread, or null.
    static SerialQueue* current() noexcept;

    // The io_context that this queue's thread runs. Asio objects created on it
    // must not outlive the queue.
    asio::io_context& context() noexcept;

private:
    std::shared_ptr<Core> core_;
};

template <class F>
std::invoke_result_t<F&> SerialQueue::syncResult(F f) {
    using Result = std::invoke_result_t<F&>;
    if constexpr (std::is_void_v<Result>) {
        sync([&f] { f(); });
    } else if constexpr (std::is_reference_v<Result>) {
        std::remove_reference_t<Result>* result = nullptr;
        sync([&f, &result] { result = &f(); });
        return static_cast<Result>(*result);
    } else {
        std::optional<Result> result;
        sync([&f, &result] { result.emplace(f()); });
        return std::move(*result);
    }
}

}  // namespace vorn::dispatch
