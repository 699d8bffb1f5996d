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
    // start, so a late tick does not push the later ones back.
    //
    // A timer that fell behind (the main thread was held up past one or more
    // of its deadlines) ticks once, as soon as the loop runs again, and then
    // goes on at the next point of its grid that is still ahead: the missed
    // deadlines are skipped, never fired back to back. A burst of catch-up
    // ticks would only repeat work whose moment has passed, and a monitor
    // would judge a run of intervals that were no intervals at all.
    //
    // Call on the main thread; the timer runs until the handle is cancelled
    // or destroyed.
    [[nodiscard]] virtual Cancellable startRepeatingTimer(Duration interval, Task tick) = 0;

    // The loop's clock: time since the loop was made, real (steady) time on
    // the programs' loops, the test's own clock on ManualMainLoop. Lets a
    // tick tell how late it comes. Safe from any thread.
    virtual Duration now() const = 0;

    // True when called on the main thread.
    virtual bool isMainThread() const = 0;
};

// Where a repeating timer goes on after the tick due at `deadline`, when that
// tick has run and the time is `now`: the first point of its grid (`deadline`
// plus whole intervals) still ahead. One interval on when the tick was on
// time; past every deadline it missed when it was late. `interval` must be
// positive.
template <typename TimePoint>
TimePoint nextDeadline(TimePoint deadline, Duration interval, TimePoint now) {
    deadline += interval;
    if (deadline <= now) {
        deadline += ((now - deadline) / interval + 1) * interval;
    }
    return deadline;
}

}  // namespace vorn::dispatch
