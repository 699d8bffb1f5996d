#pragma once

#include "dispatch/Cancellable.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vorn::dispatch {

// A list of callbacks that are called in the order they connected.
//
// Connecting and disconnecting are safe from any thread and from inside a
// callback; a callback disconnected while an emit is under way is not called
// after its handle has been cancelled on the emitting thread. Each
// connection ends with its handle. The signal itself may die before the
// handles.
template <class... Args>
class Signal {
public:
    using Callback = std::function<void(const Args&...)>;

    Signal() = default;
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;

    [[nodiscard]] Cancellable connect(Callback callback) {
        auto slot = std::make_shared<Slot>(std::move(callback));
        {
            std::lock_guard lock(state_->mutex);
            state_->slots.push_back(slot);
        }
        return Cancellable([weakState = std::weak_ptr<State>(state_), weakSlot = std::weak_ptr<Slot>(slot)] {
            auto slot = weakSlot.lock();
            if (!slot) {
                return;
            }
            slot->alive.store(false);
            if (auto state = weakState.lock()) {
                std::lock_guard lock(state->mutex);
                std::erase(state->slots, slot);
            }
        });
    }

    void emit(const Args&... args) const {
        std::vector<std::shared_ptr<Slot>> snapshot;
        {
            std::lock_guard lock(state_->mutex);
            snapshot = state_->slots;
        }
        for (const auto& slot : snapshot) {
            if (slot->alive.load()) {
                slot->callback(args...);
            }
        }
    }

    std::size_t connectionCount() const {
        std::lock_guard lock(state_->mutex);
        return state_->slots.size();
    }

private:
    struct Slot {
        explicit Slot(Callback cb) : callback(std::move(cb)) {}
        Callback callback;
        std::atomic<bool> alive{true};
    };
    struct State {
        mutable std::mutex mutex;
        std::vector<std::shared_ptr<Slot>> slots;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

}  // namespace vorn::dispatch
