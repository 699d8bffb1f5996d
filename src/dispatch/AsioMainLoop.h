#pragma once

#include "dispatch/MainLoop.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <thread>

namespace vorn::dispatch {

// The main loop of the command-line tools: an Asio io_context run on the
// thread that calls run().
class AsioMainLoop final : public MainLoop {
public:
    // The constructing thread counts as the main thread until run() is
    // called.
    AsioMainLoop();
    ~AsioMainLoop() override;

    AsioMainLoop(const AsioMainLoop&) = delete;
    AsioMainLoop& operator=(const AsioMainLoop&) = delete;

    // Runs tasks and timers until stop(). A stop() that comes before run()
    // makes that run() return at once; each run() consumes one stop().
    void run();

    // Ends run(). Safe from any thread.
    void stop();

    asio::io_context& context() noexcept { return context_; }

    void post(Task task) override;
    void postAfter(Duration delay, Task task) override;
    [[nodiscard]] Cancellable startRepeatingTimer(Duration interval, Task tick) override;
    bool isMainThread() const override;
    Duration now() const override;

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_{context_.get_executor()};
    std::atomic<std::thread::id> mainThread_;
    const std::chrono::steady_clock::time_point start_;
};

}  // namespace vorn::dispatch
