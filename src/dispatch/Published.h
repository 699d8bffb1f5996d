#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/Signal.h"

#include <functional>
#include <utility>

namespace vorn::dispatch {

// The change signal of an object with published properties. Views connect to
// it to learn that something is about to change; they read the new state on a
// later turn.
using ObjectWillChange = Signal<>;

// A published property.
//
// Assigning first tells the owner's observers, then hands the new value to the
// property's own subscribers, then stores it, and last runs the owner's
// `didSet` hook. A subscriber that reads the property while it is being told
// therefore still sees the previous value; the link monitor relies on that.
// A new subscriber receives the current value at once.
//
// The value itself is not synchronised: the owner decides on which thread it
// is assigned and read. Subscribing and unsubscribing are safe anywhere.
template <class T>
class Published {
public:
    explicit Published(T initial, ObjectWillChange* owner = nullptr, std::function<void()> didSet = {})
        : value_(std::move(initial)), owner_(owner), didSet_(std::move(didSet)) {}

    Published(const Published&) = delete;
    Published& operator=(const Published&) = delete;

    const T& get() const noexcept { return value_; }
    operator const T&() const noexcept { return value_; }  // NOLINT: reads like the value it holds
    const T* operator->() const noexcept { return &value_; }

    Published& operator=(T value) {
        set(std::move(value));
        return *this;
    }

    void set(T value) {
        if (owner_ != nullptr) {
            owner_->emit();
        }
        subscribers_.emit(value);
        value_ = std::move(value);
        if (didSet_) {
            didSet_();
        }
    }

    // Calls `callback` with the current value now and with every new value
    // from then on, until the returned handle is cancelled or destroyed.
    [[nodiscard]] Cancellable subscribe(std::function<void(const T&)> callback) {
        callback(value_);
        return subscribers_.connect(std::move(callback));
    }

    // As subscribe(), but skips a value equal to the one delivered just before.
    [[nodiscard]] Cancellable subscribeDistinct(std::function<void(const T&)> callback) {
        auto last = std::make_shared<T>(value_);
        callback(value_);
        return subscribers_.connect([last, callback = std::move(callback)](const T& value) {
            if (value == *last) {
                return;
            }
            *last = value;
            callback(value);
        });
    }

private:
    T value_;
    ObjectWillChange* owner_;
    std::function<void()> didSet_;
    Signal<T> subscribers_;
};

}  // namespace vorn::dispatch
