#pragma once

#include "dispatch/Task.h"

#include <memory>
#include <string_view>

namespace vorn::dispatch {

// Somewhere to run work: a serial queue, or one of the thread pools.
//
// Callers hold queues as std::shared_ptr<Queue> and hand them around, for
// instance to say where a delegate or a filter is to be called. Every member
// is safe from any thread.
class Queue {
public:
    virtual ~Queue() = default;

    // Runs `task` later. A serial queue runs tasks one at a time in the order
    // they were submitted; a concurrent queue starts them in that order but
    // may run several at once.
    virtual void async(Task task) = 0;

    // Runs `task` once `delay` has passed.
    virtual void asyncAfter(Duration delay, Task task) = 0;

    // A name for logs and thread names.
    virtual std::string_view label() const = 0;

    // True when tasks never overlap, so that state touched only from this
    // queue needs no lock.
    virtual bool isSerial() const = 0;
};

}  // namespace vorn::dispatch
