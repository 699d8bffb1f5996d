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

// Datagrams read in one turn of the socket queue. A steady stream would
// otherwise keep the queue from its other work (sends, a pause, a close) for
// as long as it lasts; after this many the drain goes on in a later turn.
// A read of one datagram counts as four, so that those still come 64 a turn.
constexpr int datagramsPerTurn = 256;
constexpr int costOfSingleRead = 4;

// The most datagrams one batch read asks for: past this the saving on
// kernel entries is small, while the buffers grow with every slot.
constexpr std::size_t batchSize = 64;

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
    for (int used = 0; used < datagramsPerTurn;) {
        int read = 0;
        if (receiveStep(read) == Step::done) {
            flushReceived();
            return;
        }
        used += std::max(read, 1);
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

DatagramSocket::State::Step DatagramSocket::State::receiveStep(int& read) {
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
    if (readsInBatches(*source)) {
        return receiveBatch(*source, read);
    }
    read = costOfSingleRead;
    SharedBytes data;
    SharedBytes address;
    int error = 0;
    const Read outcome = readDatagram(*source, data, address, error);
    if (outcome == Read::failed) {
        // What was read before the failure still reaches the delegate, and
        // before the close does.
        flushReceived();
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
        return Step::done;
    }
    if (outcome == Read::drained) {
        // From here only a read event can tell that more has come.
        source->hasData = false;
        if (source->receiveSource) {
            source->receiveSource->resume();
        }
        return Step::again;
    }
    flags = source == &ipv6 ? flags | flipFlop : flags & ~flipFlop;
    if (outcome == Read::empty) {
        return Step::again;
    }
    const auto delivery = deliver(data, address);
    // A synchronous filter on this very queue may have paused or closed us.
    if (has(receiveContinuous)) {
        return Step::again;
    }
    if (has(receiveOnceFlag)) {
        if (delivery == Delivery::delivered) {
            flags &= ~(receiveOnceFlag | receiveContinuous);
            return Step::done;
        }
        return delivery == Delivery::ignored ? Step::again : Step::done;
    }
    return Step::done;
}

// Batches only where every datagram read is delivered at once and nothing
// can change between two of them: receiving continuously, with no filter
// (which may pause or close us, or want one at a time), and from one family
// (with both, they alternate datagram by datagram).
bool DatagramSocket::State::readsInBatches(const Endpoint& source) const {
    const std::size_t limit = source.family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    return has(receiveContinuous) && !has(receiveOnceFlag) && !receiveFilter && limit <= largestDatagram &&
           !(ipv4.hasData && ipv6.hasData);
}

DatagramSocket::State::Step DatagramSocket::State::receiveBatch(Endpoint& source, int& read) {
    const std::size_t limit = source.family == AF_INET ? max4ReceiveSize : max6ReceiveSize;
    // No more than the backlog has room for, so that it overshoots its
    // limit by at most one datagram, as a read of one at a time does.
    const std::size_t count = backlog->room(batchSize, limit);
    if (scratch.size() < count * limit) {
        scratch.resize(count * limit);
    }
    batchHeaders.resize(std::max(batchHeaders.size(), count));
    batchBuffers.resize(std::max(batchBuffers.size(), count));
    batchSenders.resize(std::max(batchSenders.size(), count));
    for (std::size_t i = 0; i < count; ++i) {
        batchBuffers[i] = {scratch.data() + i * limit, limit};
        auto& header = batchHeaders[i];
        header = {};
        header.msg_hdr.msg_name = &batchSenders[i];
        header.msg_hdr.msg_namelen = sizeof(sockaddr_storage);
        header.msg_hdr.msg_iov = &batchBuffers[i];
        header.msg_hdr.msg_iovlen = 1;
    }
    int result = 0;
    int error = 0;
    do {
        result = system->recvmmsg(source.fd, batchHeaders.data(), static_cast<unsigned int>(count), 0, nullptr);
        error = result < 0 ? errno : 0;
    } while (result < 0 && error == EINTR);
    if (result < 0 && !wouldBlock(error)) {
        // What was read before the failure still reaches the delegate, and
        // before the close does.
        flushReceived();
        closeWithError(SocketError::posix(error, "Error in recvfrom() function"));
        return Step::done;
    }
    const auto taken = static_cast<std::size_t>(std::max(result, 0));
    read = static_cast<int>(taken);
    for (std::size_t i = 0; i < taken; ++i) {
        const auto& header = batchHeaders[i];
        // A datagram larger than its slot was cut to it (MSG_TRUNC); the
        // length said is then the whole one, never what the slot holds.
        const std::size_t size = (header.msg_hdr.msg_flags & MSG_TRUNC) != 0
                                     ? limit
                                     : std::min<std::size_t>(header.msg_len, limit);
        if (size == 0) {
            continue;
        }
        std::uint8_t* buffer = nullptr;
        auto data = SharedBytes::allocate(size, buffer);
        std::memcpy(buffer, scratch.data() + i * limit, size);
        const auto sender = std::min<socklen_t>(header.msg_hdr.msg_namelen, sizeof(sockaddr_storage));
        deliver(data, senderAddress(batchSenders[i], sender));
    }
    if (taken > 0) {
        flags = &source == &ipv6 ? flags | flipFlop : flags & ~flipFlop;
    }
    if (taken < count) {
        // The descriptor ran dry during the read: rather than a further read
        // to hear so, wait for the next read event.
        source.hasData = false;
        if (source.receiveSource) {
            source.receiveSource->resume();
        }
    }
    return Step::again;
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

std::size_t ReceiveBacklog::room(std::size_t wanted, std::size_t largest) const {
    std::lock_guard lock(mutex_);
    const std::size_t datagrams = limit_.datagrams - std::min(datagrams_, limit_.datagrams);
    const std::size_t bytes = (limit_.bytes - std::min(bytes_, limit_.bytes)) / std::max<std::size_t>(largest, 1);
    return std::max<std::size_t>(std::min({wanted, datagrams, bytes}), 1);
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
