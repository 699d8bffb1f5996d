#include "udp/DatagramSocket.h"

#include "udp/DatagramSocketState.h"
#include "udp/SocketAddress.h"

#include <cerrno>
#include <utility>

namespace vorn::udp {

std::optional<SocketError> DatagramSocket::State::startReceiving(Flag mode) {
    if (has(mode)) {
        return std::nullopt;
    }
    if (!has(didCreateSockets)) {
        return SocketError::badConfig(
            "Must bind socket before you can receive data. You can do this explicitly via bind, or implicitly via "
            "connect or by sending data.");
    }
    const Flag otherMode = mode == receiveContinuous ? receiveOnceFlag : receiveContinuous;
    flags = (flags | mode) & ~otherMode;
    queue->async([weak = weak_from_this()] {
        if (auto state = weak.lock()) {
            state->doReceive();
        }
    });
    return std::nullopt;
}

void DatagramSocket::State::pauseReceiving() {
    flags &= ~(receiveOnceFlag | receiveContinuous);
    suspendReadSourcesHoldingData();
}

void DatagramSocket::State::onReadable(Endpoint& endpoint, std::size_t estimate) {
    // On Linux a readable descriptor with nothing to read holds an empty
    // datagram. It is no sign of a closed socket (UDP has none), and closing
    // on it would let any peer silence us with one empty packet.
    if (estimate == 0) {
        discardEmptyDatagram(endpoint);
        return;
    }
    endpoint.bytesAvailable = estimate;
    // The count says that a datagram waits; until it is read, further events
    // would only say the same again.
    endpoint.receiveSource->suspend();
    // Read in a later turn, so that when both descriptors turn readable at
    // once both counts are known and the alternation starts with IPv6.
    queue->async([weak = weak_from_this()] {
        if (auto state = weak.lock()) {
            state->doReceive();
        }
    });
}

void DatagramSocket::State::discardEmptyDatagram(Endpoint& endpoint) {
    char nothing = 0;
    sockaddr_storage sender{};
    socklen_t length = sizeof sender;
    ssize_t result = 0;
    int error = 0;
    do {
        result = system->recvfrom(endpoint.fd, &nothing, 0, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        error = result < 0 ? errno : 0;
    } while (result < 0 && error == EINTR);
    if (result < 0 && error != EAGAIN && error != EWOULDBLOCK) {
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
    }
}

void DatagramSocket::State::doReceive() {
    while (receiveStep() == Step::again) {
    }
}

DatagramSocket::State::Step DatagramSocket::State::receiveStep() {
    const bool once = has(receiveOnceFlag);
    if ((!once && !has(receiveContinuous)) || (once && pendingFilterOperations > 0)) {
        suspendReadSourcesHoldingData();
        return Step::done;
    }
    if (ipv4.bytesAvailable == 0 && ipv6.bytesAvailable == 0) {
        resumeIdleReadSources();
        return Step::done;
    }
    // With data on both, the family not read last goes next, IPv6 first. A
    // read event here counts one datagram, not all that wait, so the turn is
    // kept across rounds of events rather than toggled only while both
    // counts stay up.
    Endpoint* source = ipv4.bytesAvailable > 0 ? &ipv4 : &ipv6;
    if (ipv4.bytesAvailable > 0 && ipv6.bytesAvailable > 0) {
        source = has(flipFlop) ? &ipv4 : &ipv6;
    }
    flags = source == &ipv6 ? flags | flipFlop : flags & ~flipFlop;
    // The count is the exact size of the waiting datagram, so a buffer of
    // that size (or of the maximum, when smaller) holds it with no slack and
    // becomes the payload as it is.
    const std::size_t limit = source->family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    const std::size_t size = std::min(limit, source->bytesAvailable);
    std::uint8_t* buffer = nullptr;
    const auto payload = SharedBytes::allocate(size, buffer);
    sockaddr_storage sender{};
    socklen_t length = sizeof sender;
    ssize_t result = 0;
    int error = 0;
    do {
        result = system->recvfrom(source->fd, buffer, size, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        error = result < 0 ? errno : 0;
    } while (result < 0 && error == EINTR);
    // One read takes one whole datagram, cut or not; the next one's size is
    // for the next read event to tell.
    source->bytesAvailable = 0;
    if (result < 0 && error != EAGAIN && error != EWOULDBLOCK) {
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
        return Step::done;
    }
    if (result <= 0) {
        resumeIdleReadSources();
        return Step::done;
    }
    const auto outcome = deliver(payload.slice(0, static_cast<std::size_t>(result)),
                                 detail::fromKernel(reinterpret_cast<const sockaddr*>(&sender), length));
    // A synchronous filter on this very queue may have paused or closed us.
    if (has(receiveContinuous)) {
        return Step::again;
    }
    if (has(receiveOnceFlag)) {
        if (outcome == Delivery::delivered) {
            flags &= ~(receiveOnceFlag | receiveContinuous);
            return Step::done;
        }
        return outcome == Delivery::ignored ? Step::again : Step::done;
    }
    return Step::done;
}

DatagramSocket::State::Delivery DatagramSocket::State::deliver(const SharedBytes& data, const SharedBytes& address) {
    if (!receiveFilter || !receiveFilterQueue) {
        notifyDidReceive(data, address, std::any());
        return Delivery::delivered;
    }
    if (!receiveFilterAsync) {
        std::any context;
        const bool allowed = askAndWait(receiveFilterQueue, *queue, [filter = receiveFilter, data, address, &context] {
            return filter(data, address, context);
        });
        if (!allowed) {
            return Delivery::ignored;
        }
        notifyDidReceive(data, address, std::move(context));
        return Delivery::delivered;
    }
    ++pendingFilterOperations;
    receiveFilterQueue->async([weak = weak_from_this(), filter = receiveFilter, data, address, asked = closeCount] {
        std::any context;
        bool allowed = false;
        try {
            allowed = filter(data, address, context);
        } catch (...) {
            allowed = false;  // a filter that cannot decide lets nothing through
        }
        if (const auto state = weak.lock()) {
            state->queue->async([weak, asked, allowed, data, address, context = std::move(context)] {
                if (auto current = weak.lock()) {
                    current->receiveFilterAnswered(asked, allowed, data, address, context);
                }
            });
        }
    });
    return Delivery::pending;
}

void DatagramSocket::State::receiveFilterAnswered(std::uint64_t closeCountAsked, bool allowed, const SharedBytes& data,
                                                  const SharedBytes& address, std::any context) {
    // Read before a close: nobody asked for it any more.
    if (closeCountAsked != closeCount) {
        return;
    }
    if (pendingFilterOperations > 0) {
        --pendingFilterOperations;
    }
    if (allowed) {
        notifyDidReceive(data, address, std::move(context));
        flags &= ~receiveOnceFlag;
    } else if (has(receiveOnceFlag) && pendingFilterOperations == 0) {
        doReceive();
    }
}

void DatagramSocket::State::suspendReadSourcesHoldingData() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (endpoint->bytesAvailable > 0 && endpoint->receiveSource) {
            endpoint->receiveSource->suspend();
        }
    }
}

void DatagramSocket::State::resumeIdleReadSources() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (endpoint->bytesAvailable == 0 && endpoint->receiveSource) {
            endpoint->receiveSource->resume();
        }
    }
}

// ---------------------------------------------------------------------------
// DatagramSocket

bool DatagramSocket::beginReceiving(SocketError* error) {
    return detail::succeeded(
        state_->queue->syncResult([&] { return state_->startReceiving(State::receiveContinuous); }), error);
}

bool DatagramSocket::receiveOnce(SocketError* error) {
    return detail::succeeded(state_->queue->syncResult([&] { return state_->startReceiving(State::receiveOnceFlag); }),
                             error);
}

void DatagramSocket::pauseReceiving() {
    state_->post([](State& state) { state.pauseReceiving(); });
}

void DatagramSocket::setReceiveFilter(ReceiveFilter filter, std::shared_ptr<dispatch::Queue> queue,
                                      bool isAsynchronous) {
    if (filter && !queue) {
        detail::stopOnProgrammingError("Must provide a dispatch_queue in which to run the filter block.");
    }
    state_->post([filter = std::move(filter), queue = std::move(queue), isAsynchronous](State& state) {
        state.receiveFilter = filter;
        State::retire(std::exchange(state.receiveFilterQueue, filter ? queue : nullptr));
        state.receiveFilterAsync = isAsynchronous;
    });
}

}  // namespace vorn::udp
