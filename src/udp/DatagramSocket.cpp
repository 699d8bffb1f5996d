#include "udp/DatagramSocket.h"

#include "dispatch/ConcurrentQueue.h"
#include "udp/SocketAddress.h"
#include "udp/detail/DatagramSocketState.h"

#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <utility>

namespace vorn::udp {

void detail::stopOnProgrammingError(const char* message) {
    std::fprintf(stderr, "%s\n", message);
    std::abort();
}

// The delegate's callbacks do nothing unless a delegate overrides them.
void DatagramSocketDelegate::didSendData(const std::shared_ptr<DatagramSocket>&, std::int64_t) {}
void DatagramSocketDelegate::didNotSendData(const std::shared_ptr<DatagramSocket>&, std::int64_t, const SocketError&) {}
void DatagramSocketDelegate::didReceiveData(const std::shared_ptr<DatagramSocket>&, const SharedBytes&,
                                            const SharedBytes&, const std::any&) {}
void DatagramSocketDelegate::didClose(const std::shared_ptr<DatagramSocket>&, const std::optional<SocketError>&) {}

// ---------------------------------------------------------------------------
// State: callbacks

DatagramSocket::State::State(std::shared_ptr<dispatch::SerialQueue> socketQueue,
                             std::shared_ptr<SystemCalls> systemCalls)
    : queue(std::move(socketQueue)), system(std::move(systemCalls)), sendTimer(queue) {}

void DatagramSocket::State::post(std::function<void(State&)> block) {
    if (queue->isCurrent()) {
        block(*this);
        return;
    }
    queue->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto state = weak.lock()) {
            block(*state);
        }
    });
}

void DatagramSocket::State::retire(std::shared_ptr<dispatch::Queue> queue) {
    if (queue) {
        dispatch::globalQueue(dispatch::QualityOfService::standard)->async([queue = std::move(queue)] {});
    }
}

void DatagramSocket::State::forgetPartners() {
    delegate.reset();
    retire(std::move(delegateQueue));
    receiveFilter = nullptr;
    retire(std::move(receiveFilterQueue));
    sendFilter = nullptr;
    retire(std::move(sendFilterQueue));
}

bool DatagramSocket::State::wants(DatagramSocketDelegate::Callback callback) const {
    {
        const auto target = delegate.lock();
        if (!target || !delegateQueue || !target->implements(callback)) {
            return false;
        }
    }
    // Without an owner the socket is being destroyed and there is nobody to
    // name.
    return !owner.expired();
}

template <class Call>
void DatagramSocket::State::notify(DatagramSocketDelegate::Callback callback, Call call) {
    if (!wants(callback)) {
        return;
    }
    // The callback holds the socket only while it runs: one that still
    // waits when the owner lets go is skipped, rather than keeping the socket
    // (and, under steady traffic, its stream of callbacks) alive.
    delegateQueue->async([target = delegate, socket = owner, call = std::move(call)] {
        const auto strong = target.lock();
        const auto named = socket.lock();
        if (strong && named) {
            call(*strong, named);
        }
    });
}

void DatagramSocket::State::notifyDidSend(std::int64_t tag) {
    notify(DatagramSocketDelegate::Callback::didSendData,
           [tag](DatagramSocketDelegate& target, const std::shared_ptr<DatagramSocket>& socket) {
               target.didSendData(socket, tag);
           });
}

void DatagramSocket::State::notifyDidNotSend(std::int64_t tag, const SocketError& error) {
    notify(DatagramSocketDelegate::Callback::didNotSendData,
           [tag, error](DatagramSocketDelegate& target, const std::shared_ptr<DatagramSocket>& socket) {
               target.didNotSendData(socket, tag, error);
           });
}

void DatagramSocket::State::notifyDidReceive(const SharedBytes& data, const SharedBytes& address, std::any context,
                                             std::shared_ptr<BacklogShare> share) {
    notify(DatagramSocketDelegate::Callback::didReceiveData,
           [data, address, context = std::move(context), share = std::move(share)](
               DatagramSocketDelegate& target, const std::shared_ptr<DatagramSocket>& socket) {
               target.didReceiveData(socket, data, address, context);
           });
}

void DatagramSocket::State::flushReceived() {
    if (received.empty()) {
        return;
    }
    auto batch = std::exchange(received, {});
    std::size_t bytes = 0;
    for (const auto& datagram : batch) {
        bytes += datagram.data.size();
    }
    // Given back once the batch has been handled, or dropped.
    auto share = std::make_shared<BacklogShare>(backlog, batch.size(), bytes);
    if (!wants(DatagramSocketDelegate::Callback::didReceiveData)) {
        return;
    }
    // Each datagram looks for the delegate and the socket afresh, as one
    // task per datagram would: once the owner lets go, the rest are skipped.
    // A delegate that throws costs only its own datagram; the first failure
    // is rethrown once the batch is through, so the queue still reports it.
    delegateQueue->async([target = delegate, socket = owner, batch = std::move(batch), share = std::move(share)] {
        const std::any noContext;
        std::exception_ptr failure;
        for (const auto& datagram : batch) {
            const auto strong = target.lock();
            const auto named = socket.lock();
            if (!strong || !named) {
                break;
            }
            try {
                strong->didReceiveData(named, datagram.data, datagram.address, noContext);
            } catch (...) {
                if (!failure) {
                    failure = std::current_exception();
                }
            }
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
    });
}

void DatagramSocket::State::notifyDidClose(const std::optional<SocketError>& error) {
    notify(DatagramSocketDelegate::Callback::didClose,
           [error](DatagramSocketDelegate& target, const std::shared_ptr<DatagramSocket>& socket) {
               target.didClose(socket, error);
           });
}

// ---------------------------------------------------------------------------
// DatagramSocket

std::shared_ptr<DatagramSocket> DatagramSocket::create(std::weak_ptr<DatagramSocketDelegate> delegate,
                                                       std::shared_ptr<dispatch::Queue> delegateQueue,
                                                       std::shared_ptr<dispatch::SerialQueue> socketQueue,
                                                       std::shared_ptr<SystemCalls> system) {
    auto socket = std::make_shared<DatagramSocket>(Key{}, std::move(delegate), std::move(delegateQueue),
                                                   std::move(socketQueue), std::move(system));
    socket->state_->owner = socket;
    return socket;
}

DatagramSocket::DatagramSocket(Key, std::weak_ptr<DatagramSocketDelegate> delegate,
                               std::shared_ptr<dispatch::Queue> delegateQueue,
                               std::shared_ptr<dispatch::SerialQueue> socketQueue, std::shared_ptr<SystemCalls> system)
    : state_(std::make_shared<State>(
          socketQueue ? std::move(socketQueue) : dispatch::SerialQueue::create("DatagramSocket"),
          system ? std::move(system) : SystemCalls::standard())) {
    state_->delegate = std::move(delegate);
    state_->delegateQueue = std::move(delegateQueue);
    state_->backlog = std::make_shared<ReceiveBacklog>([weak = std::weak_ptr<State>(state_)] {
        if (const auto state = weak.lock()) {
            state->queue->async([weak] {
                if (auto current = weak.lock()) {
                    current->doReceive();
                }
            });
        }
    });
}

DatagramSocket::~DatagramSocket() {
    const auto closeForGood = [](State& state) {
        state.closeWithError(std::nullopt);
        state.forgetPartners();
    };
    const auto& queue = state_->queue;
    if (queue->isCurrent()) {
        // Possibly in the middle of one of the state's own steps (a delegate
        // queue that dropped a callback holding the last reference, say): the
        // close waits for the next turn, and keeps the state alive till then.
        queue->async([state = state_, closeForGood] { closeForGood(*state); });
        return;
    }
    queue->sync([&] { closeForGood(*state_); });
    // The descriptors close in their sources' cancel handlers, queued by the
    // close: once this returns, none is left open.
    queue->sync([] {});
}

void DatagramSocket::laterOnSocketQueue(std::function<void(State&)> change) {
    state_->post(std::move(change));
}

std::weak_ptr<DatagramSocketDelegate> DatagramSocket::delegate() const {
    return onSocketQueue([](State& state) { return state.delegate; });
}

void DatagramSocket::setDelegate(std::weak_ptr<DatagramSocketDelegate> delegate) {
    laterOnSocketQueue([delegate = std::move(delegate)](State& state) { state.delegate = delegate; });
}

void DatagramSocket::synchronouslySetDelegate(std::weak_ptr<DatagramSocketDelegate> delegate) {
    onSocketQueue([&](State& state) { state.delegate = std::move(delegate); });
}

std::shared_ptr<dispatch::Queue> DatagramSocket::delegateQueue() const {
    return onSocketQueue([](State& state) { return state.delegateQueue; });
}

void DatagramSocket::setDelegateQueue(std::shared_ptr<dispatch::Queue> queue) {
    laterOnSocketQueue([queue = std::move(queue)](State& state) { state.setDelegateQueue(queue); });
}

void DatagramSocket::synchronouslySetDelegateQueue(std::shared_ptr<dispatch::Queue> queue) {
    onSocketQueue([&](State& state) { state.setDelegateQueue(std::move(queue)); });
}

void DatagramSocket::setDelegate(std::weak_ptr<DatagramSocketDelegate> delegate,
                                 std::shared_ptr<dispatch::Queue> queue) {
    laterOnSocketQueue([delegate = std::move(delegate), queue = std::move(queue)](State& state) {
        state.delegate = delegate;
        state.setDelegateQueue(queue);
    });
}

void DatagramSocket::synchronouslySetDelegate(std::weak_ptr<DatagramSocketDelegate> delegate,
                                              std::shared_ptr<dispatch::Queue> queue) {
    onSocketQueue([&](State& state) {
        state.delegate = std::move(delegate);
        state.setDelegateQueue(std::move(queue));
    });
}

bool DatagramSocket::isIPv4Enabled() const {
    return onSocketQueue([](State& state) { return !state.has(State::ipv4Disabled); });
}

void DatagramSocket::setIPv4Enabled(bool flag) {
    laterOnSocketQueue([flag](State& state) { state.setConfig(State::ipv4Disabled, !flag); });
}

bool DatagramSocket::isIPv6Enabled() const {
    return onSocketQueue([](State& state) { return !state.has(State::ipv6Disabled); });
}

void DatagramSocket::setIPv6Enabled(bool flag) {
    laterOnSocketQueue([flag](State& state) { state.setConfig(State::ipv6Disabled, !flag); });
}

bool DatagramSocket::isIPv4Preferred() const {
    return onSocketQueue([](State& state) { return state.has(State::preferIPv4); });
}

bool DatagramSocket::isIPv6Preferred() const {
    return onSocketQueue([](State& state) { return state.has(State::preferIPv6); });
}

bool DatagramSocket::isIPVersionNeutral() const {
    return onSocketQueue([](State& state) { return !state.has(State::preferIPv4) && !state.has(State::preferIPv6); });
}

void DatagramSocket::setPreferIPv4() {
    laterOnSocketQueue([](State& state) { state.config = (state.config | State::preferIPv4) & ~State::preferIPv6; });
}

void DatagramSocket::setPreferIPv6() {
    laterOnSocketQueue([](State& state) { state.config = (state.config | State::preferIPv6) & ~State::preferIPv4; });
}

void DatagramSocket::setIPVersionNeutral() {
    laterOnSocketQueue([](State& state) { state.config &= ~(State::preferIPv4 | State::preferIPv6); });
}

std::uint16_t DatagramSocket::maxReceiveIPv4BufferSize() const {
    return onSocketQueue([](State& state) { return state.max4ReceiveSize; });
}

void DatagramSocket::setMaxReceiveIPv4BufferSize(std::uint16_t size) {
    laterOnSocketQueue([size](State& state) { state.max4ReceiveSize = size; });
}

std::uint32_t DatagramSocket::maxReceiveIPv6BufferSize() const {
    return onSocketQueue([](State& state) { return state.max6ReceiveSize; });
}

void DatagramSocket::setMaxReceiveIPv6BufferSize(std::uint32_t size) {
    laterOnSocketQueue([size](State& state) { state.max6ReceiveSize = size; });
}

std::uint16_t DatagramSocket::maxSendBufferSize() const {
    return onSocketQueue([](State& state) { return state.maxSendSize; });
}

void DatagramSocket::setMaxSendBufferSize(std::uint16_t size) {
    laterOnSocketQueue([size](State& state) { state.maxSendSize = size; });
}

std::any DatagramSocket::userData() const {
    return onSocketQueue([](State& state) { return state.userData; });
}

void DatagramSocket::setUserData(std::any data) {
    laterOnSocketQueue([data = std::move(data)](State& state) { state.userData = data; });
}

SharedBytes DatagramSocket::localAddress() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.localEndpoint()).cachedAddress; });
}

std::string DatagramSocket::localHost() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.localEndpoint()).cachedHost; });
}

std::uint16_t DatagramSocket::localPort() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.localEndpoint()).cachedPort; });
}

SharedBytes DatagramSocket::localAddress_IPv4() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv4).cachedAddress; });
}

std::string DatagramSocket::localHost_IPv4() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv4).cachedHost; });
}

std::uint16_t DatagramSocket::localPort_IPv4() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv4).cachedPort; });
}

SharedBytes DatagramSocket::localAddress_IPv6() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv6).cachedAddress; });
}

std::string DatagramSocket::localHost_IPv6() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv6).cachedHost; });
}

std::uint16_t DatagramSocket::localPort_IPv6() const {
    return onSocketQueue([](State& state) { return state.withLocalCache(state.ipv6).cachedPort; });
}

bool DatagramSocket::isClosed() const {
    return onSocketQueue([](State& state) { return !state.has(State::didCreateSockets); });
}

bool DatagramSocket::isIPv4() const {
    return onSocketQueue([](State& state) { return state.usesFamily(state.ipv4, State::ipv4Disabled); });
}

bool DatagramSocket::isIPv6() const {
    return onSocketQueue([](State& state) { return state.usesFamily(state.ipv6, State::ipv6Disabled); });
}

int DatagramSocket::socketFD() const {
    if (!state_->queue->isCurrent()) {
        return -1;
    }
    return state_->ipv4.exists() ? state_->ipv4.fd : state_->ipv6.fd;
}

int DatagramSocket::socket4FD() const {
    return state_->queue->isCurrent() ? state_->ipv4.fd : -1;
}

int DatagramSocket::socket6FD() const {
    return state_->queue->isCurrent() ? state_->ipv6.fd : -1;
}

void DatagramSocket::performBlock(const std::function<void()>& block) {
    state_->queue->sync(block);
}

const std::shared_ptr<dispatch::SerialQueue>& DatagramSocket::socketQueue() const noexcept {
    return state_->queue;
}

// ---------------------------------------------------------------------------
// Address helpers

bool DatagramSocket::getHost(std::string* host, std::uint16_t* port, int* family, const SharedBytes& address) {
    const int found = detail::familyOf(address);
    if (host != nullptr) {
        *host = found != 0 ? detail::hostText(address) : std::string();
    }
    if (port != nullptr) {
        *port = found != 0 ? detail::portOf(address) : 0;
    }
    if (family != nullptr) {
        *family = found;
    }
    return found != 0;
}

bool DatagramSocket::getHost(std::string* host, std::uint16_t* port, const SharedBytes& address) {
    return getHost(host, port, nullptr, address);
}

std::string DatagramSocket::hostFromAddress(const SharedBytes& address) {
    return detail::hostText(address);
}

std::uint16_t DatagramSocket::portFromAddress(const SharedBytes& address) {
    return detail::portOf(address);
}

int DatagramSocket::familyFromAddress(const SharedBytes& address) {
    return detail::familyOf(address);
}

bool DatagramSocket::isIPv4Address(const SharedBytes& address) {
    return detail::familyOf(address) == AF_INET;
}

bool DatagramSocket::isIPv6Address(const SharedBytes& address) {
    return detail::familyOf(address) == AF_INET6;
}

}  // namespace vorn::udp
