#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/Task.h"

namespace vorn::dispatch {

// The program's main thread: the one place where user-visible state changes.
//
// The desktop app runs it on Qt's event loop, the command-line tools on Asio,
// and tests on a clock they advance by hand. Tasks posted from any thread run
// on the main thread, one at a time, in the order they were posted.
class MainLoop {
public:
    virtual ~MainLoop() = default;

    // Runs `task` on the main thread in a later turn. Safe from any thread.
    virtual void post(Task task) = 0;

    // Runs `task` on the main thread once `delay` has passed. Safe from any
    // thread.
    virtual void postAfter(Duration delay, Task task) = 0;

    // Calls `tick` on the main thread every `interval`, the first time one
    // full interval from now. Ticks are scheduled on a fixed grid from the
    // start, so a late tick does not push the later ones back. Call on the
    // main thread; the timer runs until the handle is cancelled or destroyed.
    [[nodiscard]] virtual Cancellable startRepeatingTimer(Duration interval, Task tick) = 0;

    // True when called on the main thread.
    virtual bool isMainThread() const = 0;
};

}  // namespace vorn::dispatch
