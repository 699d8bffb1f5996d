#pragma once

#include "dispatch/Queue.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace vorn::dispatch {

// A pool of threads that grows with demand.
//
// A task that finds no idle thread starts a new one (up to `maxThreads`), so
// a few tasks that block, say in a name lookup, never hold up the ones behind
// them. Threads that stay idle for `idleTimeout` end, so an idle process keeps
// few threads. Tasks start in submission order but may run side by side.
//
// Destroying the pool does not wait: tasks already submitted still run, then
// the threads end.
class ConcurrentQueue final : public Queue, public std::enable_shared_from_this<ConcurrentQueue> {
    struct State;
    struct Key {};

public:
    static constexpr std::size_t defaultMaxThreads = 64;
    static constexpr std::chrono::milliseconds defaultIdleTimeout{5000};

    static std::shared_ptr<ConcurrentQueue> create(std::string label, std::size_t maxThreads = defaultMaxThreads,
                                                   std::chrono::milliseconds idleTimeout = defaultIdleTimeout);

    ConcurrentQueue(Key, std::string label, std::size_t maxThreads, std::chrono::milliseconds idleTimeout);
    ~ConcurrentQueue() override;

    ConcurrentQueue(const ConcurrentQueue&) = delete;
    ConcurrentQueue& operator=(const ConcurrentQueue&) = delete;

    void async(Task task) override;
    void asyncAfter(Duration delay, Task task) override;
    std::string_view label() const override;
    bool isSerial() const override { return false; }

    // Threads alive right now, busy or idle.
    std::size_t threadCount() const;

private:
    std::shared_ptr<State> state_;
};

// How urgent the work on a global queue is. Each quality has a pool of its
// own, so that work blocked on one never delays work on another.
enum class QualityOfService {
    userInitiated,  // someone is waiting for the result: sends, lookups for a new target
    standard,       // everything else
};

// The process-wide pool for `quality`. Lives as long as the process.
std::shared_ptr<Queue> globalQueue(QualityOfService quality);

// The pool that runs detached asynchronous work. Lives as long as the process.
std::shared_ptr<Queue> sharedExecutor();

}  // namespace vorn::dispatch
