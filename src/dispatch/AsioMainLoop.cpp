#include "dispatch/AsioMainLoop.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <memory>
#include <utility>

namespace vorn::dispatch {

namespace {

// A repeating timer. The pending wait owns it, so it lives exactly as long as
// it is armed; the handle only points at it.
struct RepeatingTimer : std::enable_shared_from_this<RepeatingTimer> {
    // A period of zero would fire without end; the shortest there is stands in.
    RepeatingTimer(asio::io_context& context, Duration period, Task task)
        : timer(context), interval(std::max(period, Duration(1))), tick(std::move(task)) {}

    void arm() {
        // Deadlines sit on a grid from the start, so a late tick does not
        // shift the ones after it; those it fell behind are skipped.
        timer.expires_at(nextDeadline(timer.expiry(), interval, std::chrono::steady_clock::now()));
        timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (error || self->cancelled.load()) {
                return;
            }
            self->tick();
            if (!self->cancelled.load()) {
                self->arm();
            }
        });
    }

    asio::steady_timer timer;
    const Duration interval;
    Task tick;
    std::atomic<bool> cancelled{false};
};

}  // namespace

AsioMainLoop::AsioMainLoop() : mainThread_(std::this_thread::get_id()), start_(std::chrono::steady_clock::now()) {}

AsioMainLoop::~AsioMainLoop() = default;

void AsioMainLoop::run() {
    mainThread_.store(std::this_thread::get_id());
    context_.run();
    // Ready for another run(); a stop() from now on ends that one.
    context_.restart();
}

void AsioMainLoop::stop() {
    context_.stop();
}

void AsioMainLoop::post(Task task) {
    asio::post(context_, std::move(task));
}

void AsioMainLoop::postAfter(Duration delay, Task task) {
    auto timer = std::make_shared<asio::steady_timer>(context_, delay);
    timer->async_wait([timer, task = std::move(task)](const asio::error_code& error) {
        if (!error) {
            task();
        }
    });
}

Cancellable AsioMainLoop::startRepeatingTimer(Duration interval, Task tick) {
    auto repeating = std::make_shared<RepeatingTimer>(context_, interval, std::move(tick));
    repeating->timer.expires_at(std::chrono::steady_clock::now());
    repeating->arm();
    return Cancellable([weak = std::weak_ptr<RepeatingTimer>(repeating), this] {
        auto timer = weak.lock();
        if (!timer) {
            return;
        }
        timer->cancelled.store(true);
        // Off the main thread the timer object is not ours to touch; the
        // flag alone stops it at its next deadline.
        if (isMainThread()) {
            timer->timer.cancel();
        }
    });
}

Duration AsioMainLoop::now() const {
    return std::chrono::steady_clock::now() - start_;
}

bool AsioMainLoop::isMainThread() const {
    return mainThread_.load() == std::this_thread::get_id();
}

}  // namespace vorn::dispatch
