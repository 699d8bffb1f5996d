#pragma once

#include "dispatch/SerialQueue.h"
#include "dispatch/Task.h"

#include <cstddef>
#include <functional>
#include <memory>

namespace vorn::dispatch {

// Tells a serial queue whenever a file descriptor can be read or written.
//
// Level-triggered: while the source is resumed and the descriptor is ready,
// the handler is called again and again (each call is a separate turn of the
// queue) until the handler drains it or the source is suspended. A new source
// starts suspended.
//
// A read source and a write source may watch the same descriptor at once.
// The source never closes the descriptor; cancel every source on a
// descriptor before closing it, for instance by closing it in the last
// cancel handler.
//
// Call every member on the owning queue. The destructor also works
// elsewhere: it then waits until the queue has let go of the descriptor.
class ReadinessSource {
public:
    enum class Kind { read, write };

    // For reading, how many bytes are waiting: for a datagram socket the size
    // of the next datagram, which is 0 for an empty one. For writing, how
    // many bytes the send buffer still takes (0 when unknown).
    using EventHandler = std::function<void(std::size_t estimate)>;

    // Throws std::system_error when the descriptor cannot be watched.
    ReadinessSource(std::shared_ptr<SerialQueue> queue, int fd, Kind kind);
    ~ReadinessSource();

    ReadinessSource(const ReadinessSource&) = delete;
    ReadinessSource& operator=(const ReadinessSource&) = delete;

    void setEventHandler(EventHandler handler);

    // Runs once on the queue after cancel(), and also when the source is
    // destroyed without having been cancelled.
    void setCancelHandler(Task handler);

    void resume();
    void suspend();

    // No event is delivered after this returns; the cancel handler follows
    // in a later turn of the queue. Cancelling twice is harmless.
    void cancel();

    bool isSuspended() const noexcept;
    bool isCancelled() const noexcept;
    int fd() const noexcept;
    Kind kind() const noexcept;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace vorn::dispatch
