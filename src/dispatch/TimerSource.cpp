#include "dispatch/TimerSource.h"

#include <asio/steady_timer.hpp>

#include <cstdint>
#include <utility>

namespace vorn::dispatch {

struct TimerSource::State : std::enable_shared_from_this<State> {
    explicit State(std::shared_ptr<SerialQueue> owningQueue)
        : queue(std::move(owningQueue)), timer(queue->context()) {}

    void cancel() {
        // A wait that already expired has its completion queued, and
        // cancelling the timer no longer reaches it; the generation does.
        ++generation;
        handler = nullptr;
        timer.cancel();
    }

    const std::shared_ptr<SerialQueue> queue;
    asio::steady_timer timer;
    Task handler;
    std::uint64_t generation = 0;
};

TimerSource::TimerSource(std::shared_ptr<SerialQueue> queue) : state_(std::make_shared<State>(std::move(queue))) {}

TimerSource::~TimerSource() {
    if (state_->queue->isCurrent()) {
        state_->cancel();
    } else {
        state_->queue->sync([this] { state_->cancel(); });
    }
}

void TimerSource::start(Duration delay, Task handler) {
    state_->cancel();
    state_->handler = std::move(handler);
    state_->timer.expires_after(delay);
    state_->timer.async_wait(
        [weak = state_->weak_from_this(), generation = state_->generation](const asio::error_code& error) {
            auto self = weak.lock();
            if (error || !self || self->generation != generation) {
                return;
            }
            // Moved out first: the handler may start the timer again.
            auto handler = std::exchange(self->handler, nullptr);
            ++self->generation;
            if (handler) {
                handler();
            }
        });
}

void TimerSource::cancel() {
    state_->cancel();
}

bool TimerSource::isPending() const noexcept {
    return static_cast<bool>(state_->handler);
}

}  // namespace vorn::dispatch
