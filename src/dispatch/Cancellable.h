#pragma once

#include <functional>
#include <utility>

namespace vorn::dispatch {

// An RAII handle for something that keeps running until it is cancelled: a
// timer, a subscription, a readiness source. Destroying or reassigning the
// handle cancels; cancelling twice is harmless.
class Cancellable {
public:
    Cancellable() = default;
    explicit Cancellable(std::function<void()> cancel) : cancel_(std::move(cancel)) {}

    Cancellable(const Cancellable&) = delete;
    Cancellable& operator=(const Cancellable&) = delete;

    Cancellable(Cancellable&& other) noexcept : cancel_(std::exchange(other.cancel_, nullptr)) {}
    Cancellable& operator=(Cancellable&& other) noexcept {
        if (this != &other) {
            cancel();
            cancel_ = std::exchange(other.cancel_, nullptr);
        }
        return *this;
    }

    ~Cancellable() { cancel(); }

    void cancel() {
        if (auto fn = std::exchange(cancel_, nullptr)) {
            fn();
        }
    }

    // True while the handle still owns something to cancel.
    explicit operator bool() const noexcept { return static_cast<bool>(cancel_); }

private:
    std::function<void()> cancel_;
};

}  // namespace vorn::dispatch
