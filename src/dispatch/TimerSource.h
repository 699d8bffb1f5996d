#pragma once

#include "dispatch/SerialQueue.h"
#include "dispatch/Task.h"

#include <memory>

namespace vorn::dispatch {

// A one-shot timer whose handler runs on a serial queue.
//
// Call every member on the owning queue: then a handler never runs once
// cancel() or a new start() has returned, even if its deadline passed while
// the queue was busy. The destructor cancels, and also works elsewhere: it
// then waits until the queue has let go of the timer.
class TimerSource {
public:
    explicit TimerSource(std::shared_ptr<SerialQueue> queue);
    ~TimerSource();

    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    // Runs `handler` once `delay` has passed, replacing whatever was pending.
    void start(Duration delay, Task handler);

    void cancel();

    // True from start() until the handler runs or the timer is cancelled.
    bool isPending() const noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vorn::dispatch
