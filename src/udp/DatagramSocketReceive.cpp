#include "udp/DatagramSocket.h"

#include "udp/SocketAddress.h"
#include "udp/detail/DatagramSocketState.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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

namespace {

// A UDP length field has 16 bits, so a buffer this large holds any datagram
// whole. Only an IPv6 jumbogram is larger.
constexpr std::size_t largestDatagram = 65535;

// Reads in one turn of the socket queue. A steady stream would otherwise
// keep the queue from its other work (sends, a pause, a close) for as long
// as it lasts; after this many the drain goes on in a later turn.
constexpr int readsPerTurn = 64;

ssize_t receiveFrom(SystemCalls& system, int fd, void* buffer, std::size_t size, int flags, sockaddr_storage& sender,
                    socklen_t& length, int& error) {
    ssize_t result = 0;
    do {
        length = sizeof sender;
        result = system.recvfrom(fd, buffer, size, flags, reinterpret_cast<sockaddr*>(&sender), &length);
        error = result < 0 ? errno : 0;
    } while (result < 0 && error == EINTR);
    return result;
}

bool wouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

}  // namespace

void DatagramSocket::State::onReadable(Endpoint& endpoint, std::size_t estimate) {
    // On Linux a readable descriptor with nothing to read holds an empty
    // datagram. It is no sign of a closed socket (UDP has none), and closing
    // on it would let any peer silence us with one empty packet.
    if (estimate == 0) {
        discardEmptyDatagram(endpoint);
        return;
    }
    endpoint.hasData = true;
    endpoint.receiveSource->suspend();
    // Read in a later turn, so that when both descriptors turn readable at
    // once both are known and the alternation starts with IPv6.
    queue->async([weak = weak_from_this()] {
        if (auto state = weak.lock()) {
            state->doReceive();
        }
    });
}

void DatagramSocket::State::discardEmptyDatagram(Endpoint& endpoint) {
    char nothing = 0;
    sockaddr_storage sender{};
    socklen_t length = 0;
    int error = 0;
    if (receiveFrom(*system, endpoint.fd, &nothing, 0, 0, sender, length, error) < 0 && !wouldBlock(error)) {
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
    }
}

// Reads until the descriptors run dry, so that a burst costs one read event
// and one hand-over to the delegate queue rather than one of each per
// datagram.
void DatagramSocket::State::doReceive() {
    for (int reads = 0; reads < readsPerTurn; ++reads) {
        if (receiveStep() == Step::done) {
            flushReceived();
            return;
        }
    }
    flushReceived();
    if (!drainPosted) {
        drainPosted = true;
        queue->async([weak = weak_from_this()] {
            if (auto state = weak.lock()) {
                state->drainPosted = false;
                state->doReceive();
            }
        });
    }
}

DatagramSocket::State::Step DatagramSocket::State::receiveStep() {
    const bool once = has(receiveOnceFlag);
    if ((!once && !has(receiveContinuous)) || (once && pendingFilterOperations > 0)) {
        suspendReadSourcesHoldingData();
        return Step::done;
    }
    if (!ipv4.hasData && !ipv6.hasData) {
        resumeIdleReadSources();
        return Step::done;
    }
    if (backlog->stallIfFull()) {
        // What waits stays in the kernel, whose buffer drops the excess once
        // full. The sources of descriptors holding data stay suspended, so
        // nothing wakes us until the backlog does: then the drain goes on
        // from here, with no new read event needed.
        return Step::done;
    }
    // With data on both, the family not read last goes next, IPv6 first,
    // one datagram at a time for as long as both have some.
    Endpoint* source = ipv4.hasData ? &ipv4 : &ipv6;
    if (ipv4.hasData && ipv6.hasData) {
        source = has(flipFlop) ? &ipv4 : &ipv6;
    }
    SharedBytes data;
    SharedBytes address;
    int error = 0;
    const Read read = readDatagram(*source, data, address, error);
    if (read == Read::failed) {
        // What was read before the failure still reaches the delegate, and
        // before the close does.
        flushReceived();
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
        return Step::done;
    }
    if (read == Read::drained) {
        // From here only a read event can tell that more has come.
        source->hasData = false;
        if (source->receiveSource) {
            source->receiveSource->resume();
        }
        return Step::again;
    }
    flags = source == &ipv6 ? flags | flipFlop : flags & ~flipFlop;
    if (read == Read::empty) {
        return Step::again;
    }
    const auto outcome = deliver(data, address);
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

DatagramSocket::State::Read DatagramSocket::State::readDatagram(Endpoint& source, SharedBytes& data,
                                                                SharedBytes& address, int& error) {
    const std::size_t limit = source.family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    sockaddr_storage sender{};
    socklen_t length = 0;
    if (limit <= largestDatagram) {
        // One read into the scratch buffer, which a read cuts to the limit,
        // then one copy of exactly what came: cheaper than asking the size
        // first, which costs a second system call per datagram.
        if (scratch.size() < limit) {
            scratch.resize(limit);
        }
        const ssize_t result = receiveFrom(*system, source.fd, scratch.data(), limit, 0, sender, length, error);
        if (result <= 0) {
            return result == 0 ? Read::empty : wouldBlock(error) ? Read::drained : Read::failed;
        }
        std::uint8_t* buffer = nullptr;
        data = SharedBytes::allocate(static_cast<std::size_t>(result), buffer);
        std::memcpy(buffer, scratch.data(), static_cast<std::size_t>(result));
    } else {
        // A limit above any plain datagram: size the buffer by the one that
        // waits rather than keep a scratch buffer of the limit.
        const ssize_t waiting = receiveFrom(*system, source.fd, nullptr, 0, MSG_PEEK | MSG_TRUNC, sender, length, error);
        if (waiting < 0) {
            return wouldBlock(error) ? Read::drained : Read::failed;
        }
        const std::size_t size = std::min(limit, static_cast<std::size_t>(waiting));
        std::uint8_t* buffer = nullptr;
        const auto payload = SharedBytes::allocate(size, buffer);
        const ssize_t result = receiveFrom(*system, source.fd, buffer, size, 0, sender, length, error);
        if (result <= 0) {
            return result == 0 ? Read::empty : wouldBlock(error) ? Read::drained : Read::failed;
        }
        data = payload.slice(0, static_cast<std::size_t>(result));
    }
    address = senderAddress(sender, length);
    return Read::datagram;
}

SharedBytes DatagramSocket::State::senderAddress(const sockaddr_storage& sender, socklen_t length) {
    const auto size = std::min<std::size_t>(length, sizeof sender);
    if (lastSender.size() != size || std::memcmp(lastSender.data(), &sender, size) != 0) {
        lastSender = detail::fromKernel(reinterpret_cast<const sockaddr*>(&sender), length);
    }
    return lastSender;
}

DatagramSocket::State::Delivery DatagramSocket::State::deliver(const SharedBytes& data, const SharedBytes& address) {
    backlog->add(data.size());
    if (!receiveFilter || !receiveFilterQueue) {
        // Counted out of the backlog with its batch (flushReceived).
        received.push_back({data, address});
        return Delivery::delivered;
    }
    // A filter may let this one through before the ones already read are
    // handed over; hand them over first.
    flushReceived();
    auto share = std::make_shared<BacklogShare>(backlog, 1, data.size());
    if (!receiveFilterAsync) {
        std::any context;
        const auto answer = askAndWait(receiveFilterQueue, *queue, [filter = receiveFilter, data, address, &context] {
            return filter(data, address, context);
        });
        if (!answer.allowed) {
            return Delivery::ignored;
        }
        notifyDidReceive(data, address, std::move(context), std::move(share));
        return Delivery::delivered;
    }
    ++pendingFilterOperations;
    receiveFilterQueue->async(
        [weak = weak_from_this(), filter = receiveFilter, data, address, asked = closeCount, share = std::move(share)] {
            std::any context;
            auto decide = [&] { return filter(data, address, context); };
            const bool allowed = askFilter(decide).allowed;
            if (const auto state = weak.lock()) {
                state->queue->async([weak, asked, allowed, data, address, context = std::move(context), share] {
                    if (auto current = weak.lock()) {
                        current->receiveFilterAnswered(asked, allowed, data, address, context, share);
                    }
                });
            }
        });
    return Delivery::pending;
}

void DatagramSocket::State::receiveFilterAnswered(std::uint64_t closeCountAsked, bool allowed, const SharedBytes& data,
                                                  const SharedBytes& address, std::any context,
                                                  std::shared_ptr<BacklogShare> share) {
    // Read before a close: nobody asked for it any more.
    if (closeCountAsked != closeCount) {
        return;
    }
    if (pendingFilterOperations > 0) {
        --pendingFilterOperations;
    }
    if (allowed) {
        notifyDidReceive(data, address, std::move(context), std::move(share));
        flags &= ~receiveOnceFlag;
    } else if (has(receiveOnceFlag) && pendingFilterOperations == 0) {
        doReceive();
    }
}

void DatagramSocket::State::suspendReadSourcesHoldingData() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (endpoint->hasData && endpoint->receiveSource) {
            endpoint->receiveSource->suspend();
        }
    }
}

void DatagramSocket::State::resumeIdleReadSources() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (!endpoint->hasData && endpoint->receiveSource) {
            endpoint->receiveSource->resume();
        }
    }
}

// ---------------------------------------------------------------------------
// ReceiveBacklog

ReceiveBacklogLimit ReceiveBacklog::limit() const {
    std::lock_guard lock(mutex_);
    return limit_;
}

void ReceiveBacklog::setLimit(ReceiveBacklogLimit limit) {
    bool wakeNow = false;
    {
        std::lock_guard lock(mutex_);
        // A limit of nothing would never read again.
        limit_ = {std::max<std::size_t>(limit.datagrams, 1), std::max<std::size_t>(limit.bytes, 1)};
        wakeNow = stalled_ && !full();
        stalled_ = stalled_ && !wakeNow;
    }
    if (wakeNow) {
        wake_();
    }
}

void ReceiveBacklog::add(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    datagrams_ += 1;
    bytes_ += bytes;
}

bool ReceiveBacklog::stallIfFull() {
    std::lock_guard lock(mutex_);
    stalled_ = full();
    return stalled_;
}

void ReceiveBacklog::release(std::size_t datagrams, std::size_t bytes) {
    bool wakeNow = false;
    {
        std::lock_guard lock(mutex_);
        datagrams_ -= std::min(datagrams, datagrams_);
        bytes_ -= std::min(bytes, bytes_);
        // Not at once below the limit: reading a little each time a little
        // is handled would cost a wake-up per batch.
        wakeNow = stalled_ && halfEmpty();
        stalled_ = stalled_ && !wakeNow;
    }
    if (wakeNow) {
        wake_();
    }
}

// ---------------------------------------------------------------------------
// DatagramSocket

bool DatagramSocket::beginReceiving(SocketError* error) {
    return detail::succeeded(onSocketQueue([](State& state) { return state.startReceiving(State::receiveContinuous); }),
                             error);
}

bool DatagramSocket::receiveOnce(SocketError* error) {
    return detail::succeeded(onSocketQueue([](State& state) { return state.startReceiving(State::receiveOnceFlag); }),
                             error);
}

void DatagramSocket::pauseReceiving() {
    laterOnSocketQueue([](State& state) { state.pauseReceiving(); });
}

ReceiveBacklogLimit DatagramSocket::receiveBacklogLimit() const {
    return state_->backlog->limit();
}

void DatagramSocket::setReceiveBacklogLimit(ReceiveBacklogLimit limit) {
    state_->backlog->setLimit(limit);
}

void DatagramSocket::setReceiveFilter(ReceiveFilter filter, std::shared_ptr<dispatch::Queue> queue,
                                      bool isAsynchronous) {
    if (filter && !queue) {
        detail::stopOnProgrammingError("Must provide a dispatch_queue in which to run the filter block.");
    }
    laterOnSocketQueue([filter = std::move(filter), queue = std::move(queue), isAsynchronous](State& state) {
        state.receiveFilter = filter;
        State::retire(std::exchange(state.receiveFilterQueue, filter ? queue : nullptr));
        state.receiveFilterAsync = isAsynchronous;
    });
}

}  // namespace vorn::udp
