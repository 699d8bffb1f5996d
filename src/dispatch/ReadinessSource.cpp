#include "dispatch/ReadinessSource.h"

#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/error.hpp>
#include <asio/posix/stream_descriptor.hpp>

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <system_error>
#include <utility>

namespace vorn::dispatch {

namespace {

// epoll takes a descriptor only once per io_context, so every source that
// watches one descriptor on one queue shares a single Asio descriptor. It
// is released, never closed: the descriptor belongs to the caller.
class SharedDescriptor {
public:
    using Key = std::pair<const asio::io_context*, int>;

    SharedDescriptor(asio::io_context& context, int fd) : key_(&context, fd), descriptor_(context) {
        asio::error_code error;
        descriptor_.assign(fd, error);
        if (error) {
            throw std::system_error(error, "cannot watch file descriptor " + std::to_string(fd));
        }
    }

    ~SharedDescriptor();

    SharedDescriptor(const SharedDescriptor&) = delete;
    SharedDescriptor& operator=(const SharedDescriptor&) = delete;

    asio::posix::stream_descriptor& descriptor() noexcept { return descriptor_; }

    static std::shared_ptr<SharedDescriptor> acquire(asio::io_context& context, int fd);

private:
    struct Registry {
        std::mutex mutex;
        std::map<Key, std::weak_ptr<SharedDescriptor>> entries;
    };
    static Registry& registry() {
        // Never destroyed: sources may outlive static destruction.
        static auto* const instance = new Registry;
        return *instance;
    }

    const Key key_;
    asio::posix::stream_descriptor descriptor_;
};

SharedDescriptor::~SharedDescriptor() {
    descriptor_.release();
    auto& shared = registry();
    std::lock_guard lock(shared.mutex);
    auto entry = shared.entries.find(key_);
    if (entry != shared.entries.end() && entry->second.expired()) {
        shared.entries.erase(entry);
    }
}

std::shared_ptr<SharedDescriptor> SharedDescriptor::acquire(asio::io_context& context, int fd) {
    auto& shared = registry();
    std::lock_guard lock(shared.mutex);
    auto& entry = shared.entries[Key(&context, fd)];
    if (auto existing = entry.lock()) {
        return existing;
    }
    try {
        auto created = std::make_shared<SharedDescriptor>(context, fd);
        entry = created;
        return created;
    } catch (...) {
        shared.entries.erase(Key(&context, fd));
        throw;
    }
}

std::size_t bytesReadable(int fd) {
    int pending = 0;
    if (::ioctl(fd, FIONREAD, &pending) != 0 || pending < 0) {
        return 0;
    }
    return static_cast<std::size_t>(pending);
}

std::size_t bytesWritable(int fd) {
    int capacity = 0;
    socklen_t length = sizeof capacity;
    int queued = 0;
    if (::getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &capacity, &length) == 0) {
        if (::ioctl(fd, SIOCOUTQ, &queued) != 0) {
            queued = 0;
        }
    } else {
        // A pipe: its capacity less what is still in it.
        capacity = ::fcntl(fd, F_GETPIPE_SZ);
        if (capacity < 0 || ::ioctl(fd, FIONREAD, &queued) != 0) {
            return 0;
        }
    }
    return static_cast<std::size_t>(std::max(capacity - queued, 0));
}

}  // namespace

// Lives on the queue; the pending wait points at it weakly, so destroying
// the source never waits for the descriptor to become ready.
struct ReadinessSource::State : std::enable_shared_from_this<State> {
    State(std::shared_ptr<SerialQueue> owningQueue, int watched, Kind watchedFor)
        : queue(std::move(owningQueue)),
          descriptor(SharedDescriptor::acquire(queue->context(), watched)),
          fd(watched),
          kind(watchedFor) {}

    void arm();
    void ready(const asio::error_code& error);
    void cancel();

    const std::shared_ptr<SerialQueue> queue;
    std::shared_ptr<SharedDescriptor> descriptor;  // null once cancelled
    const int fd;
    const Kind kind;
    // Shared so that a handler may replace itself while it runs.
    std::shared_ptr<const EventHandler> handler;
    Task cancelHandler;
    bool suspended = true;
    bool cancelled = false;
    bool waiting = false;
    // Cancels this source's wait alone; cancelling the descriptor would also
    // stop the other source on the same descriptor.
    asio::cancellation_signal stopWaiting;
};

void ReadinessSource::State::arm() {
    if (waiting || suspended || cancelled || !handler) {
        return;
    }
    waiting = true;
    const auto waitType =
        kind == Kind::read ? asio::posix::stream_descriptor::wait_read : asio::posix::stream_descriptor::wait_write;
    // Each wait re-registers the descriptor with epoll, which reports it again
    // if it is still ready: that is what makes the source level-triggered.
    descriptor->descriptor().async_wait(
        waitType, asio::bind_cancellation_slot(stopWaiting.slot(), [weak = weak_from_this()](const asio::error_code& error) {
            if (auto self = weak.lock()) {
                self->ready(error);
            }
        }));
}

void ReadinessSource::State::ready(const asio::error_code& error) {
    waiting = false;
    if (cancelled || suspended) {
        return;
    }
    if (error == asio::error::operation_aborted) {
        // Stopped by a suspend() that a resume() has undone since.
        arm();
        return;
    }
    if (error) {
        // The descriptor cannot be waited on (a regular file, say). Trying
        // again would only spin.
        return;
    }
    const auto current = handler;
    if (current) {
        (*current)(kind == Kind::read ? bytesReadable(fd) : bytesWritable(fd));
    }
    arm();
}

void ReadinessSource::State::cancel() {
    if (cancelled) {
        return;
    }
    cancelled = true;
    if (waiting) {
        stopWaiting.emit(asio::cancellation_type::all);
    }
    // Let go of the descriptor now, so that closing it in the cancel handler
    // finds it no longer registered.
    descriptor.reset();
    handler.reset();
    if (cancelHandler) {
        queue->async(std::exchange(cancelHandler, nullptr));
    }
}

ReadinessSource::ReadinessSource(std::shared_ptr<SerialQueue> queue, int fd, Kind kind)
    : state_(std::make_shared<State>(std::move(queue), fd, kind)) {}

ReadinessSource::~ReadinessSource() {
    if (state_->queue->isCurrent()) {
        state_->cancel();
    } else {
        state_->queue->sync([this] { state_->cancel(); });
    }
}

void ReadinessSource::setEventHandler(EventHandler handler) {
    if (state_->cancelled) {
        return;
    }
    state_->handler = handler ? std::make_shared<const EventHandler>(std::move(handler)) : nullptr;
    state_->arm();
}

void ReadinessSource::setCancelHandler(Task handler) {
    if (!state_->cancelled) {
        state_->cancelHandler = std::move(handler);
    }
}

void ReadinessSource::resume() {
    if (state_->cancelled || !state_->suspended) {
        return;
    }
    state_->suspended = false;
    state_->arm();
}

void ReadinessSource::suspend() {
    if (state_->cancelled || state_->suspended) {
        return;
    }
    state_->suspended = true;
    if (state_->waiting) {
        state_->stopWaiting.emit(asio::cancellation_type::all);
    }
}

void ReadinessSource::cancel() {
    state_->cancel();
}

bool ReadinessSource::isSuspended() const noexcept {
    return state_->suspended;
}

bool ReadinessSource::isCancelled() const noexcept {
    return state_->cancelled;
}

int ReadinessSource::fd() const noexcept {
    return state_->fd;
}

ReadinessSource::Kind ReadinessSource::kind() const noexcept {
    return state_->kind;
}

}  // namespace vorn::dispatch
