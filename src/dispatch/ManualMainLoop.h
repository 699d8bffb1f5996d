#pragma once

#include "dispatch/MainLoop.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace vorn::dispatch {

// A main loop for tests, with a clock that only moves when the test says so.
//
// Tasks that other threads post wait until the test runs them with
// runPending(), advance() or runUntil(). Timers and delayed tasks fire as the
// clock reaches them, one by one in deadline order, with the posted tasks that
// each firing leaves behind run before the next one, so a test sees exactly
// the interleaving that a real loop would produce without any real waiting.
//
// advance() is a loop that keeps up: every deadline fires at its own time.
// stall() is a loop held up: the clock moves and nothing runs, as when the
// main thread is blocked or the program is stopped; the next run finds the
// deadlines it missed overdue and fires each timer once.
class ManualMainLoop final : public MainLoop {
public:
    // The constructing thread is the main thread.
    ManualMainLoop();
    ~ManualMainLoop() override;

    ManualMainLoop(const ManualMainLoop&) = delete;
    ManualMainLoop& operator=(const ManualMainLoop&) = delete;

    // Virtual time since construction.
    Duration now() const override;

    // Runs posted tasks, including those they post, until none is left, then
    // whatever a stall() left overdue, as advance() would fire it, without
    // moving the clock. Returns how many tasks and ticks ran.
    std::size_t runPending();

    // Runs what is pending, then moves the clock forward by `by`, firing every
    // timer and delayed task that falls due on the way at its own deadline:
    // in deadline order, ties in the order they were scheduled, pending posts
    // run after each one. Returns how many tasks and ticks ran.
    std::size_t advance(Duration by);

    // Moves the clock forward by `by` without running anything: the main
    // thread is held up. At the next runPending() or advance() every task
    // that fell due meanwhile runs, late, and a repeating timer ticks once
    // for all the deadlines it missed and goes on at the next point of its
    // grid.
    void stall(Duration by);

    // Runs tasks as other threads post them until `done()` holds, waiting in
    // real time, and looks at `done()` again at least every 10 ms. Returns
    // false if `realTimeout` passes first. The virtual clock does not move.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout);

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    [[nodiscard]] Cancellable startRepeatingTimer(Duration interval, Task tick) override;
    bool isMainThread() const override;

private:
    std::size_t runPosted();
    // Fires, in order, what is due up to `target` and leaves the clock there.
    std::size_t fireDue(Duration target);

    struct State;
    std::shared_ptr<State> state_;
    std::thread::id mainThread_;
};

}  // namespace vorn::dispatch
