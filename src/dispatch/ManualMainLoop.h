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
// runPending(), advance() or runUntil(). Timers and delayed tasks fire from
// advance() only, one by one in deadline order, with the posted tasks that
// each firing leaves behind run before the next one, so a test sees exactly
// the interleaving that a real loop would produce without any real waiting.
class ManualMainLoop final : public MainLoop {
public:
    // The constructing thread is the main thread.
    ManualMainLoop();
    ~ManualMainLoop() override;

    ManualMainLoop(const ManualMainLoop&) = delete;
    ManualMainLoop& operator=(const ManualMainLoop&) = delete;

    // Virtual time since construction.
    Duration now() const;

    // Runs posted tasks, including those they post, until none is left.
    // Returns how many ran.
    std::size_t runPending();

    // Moves the clock forward by `by`, firing every timer and delayed task
    // that falls due on the way at its own deadline: in deadline order, ties
    // in the order they were scheduled, pending posts run after each one.
    // Returns how many tasks and ticks ran.
    std::size_t advance(Duration by);

    // Runs tasks as other threads post them until `done()` holds, waiting in
    // real time, and looks at `done()` again at least every 10 ms. Returns
    // false if `realTimeout` passes first. The virtual clock does not move.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds realTimeout);

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    [[nodiscard]] Cancellable startRepeatingTimer(Duration interval, Task tick) override;
    bool isMainThread() const override;

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread::id mainThread_;
};

}  // namespace vorn::dispatch
