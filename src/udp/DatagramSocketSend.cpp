#include "udp/DatagramSocket.h"

#include "dispatch/ConcurrentQueue.h"
#include "udp/SocketAddress.h"
#include "udp/detail/DatagramSocketState.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <utility>

namespace vorn::udp {

namespace {

std::optional<SharedBytes> numericAddress(const std::string& host, std::uint16_t port) {
    in_addr address4{};
    if (::inet_pton(AF_INET, host.c_str(), &address4) == 1) {
        return detail::ipv4Address(address4, port);
    }
    in6_addr address6{};
    if (::inet_pton(AF_INET6, host.c_str(), &address6) == 1) {
        return detail::ipv6Address(address6, port);
    }
    return std::nullopt;
}

// Send errors that say the descriptor itself is unusable. Anything else the
// kernel says about a send (EMSGSIZE, ENETUNREACH, EHOSTUNREACH, EACCES for a
// broadcast not enabled, EINVAL for port 0, EPERM from a firewall,
// EADDRNOTAVAIL, EAFNOSUPPORT, ENOBUFS, ...) concerns that datagram or its
// destination.
bool concernsDescriptor(int error) {
    switch (error) {
        case EBADF:
        case ENOTSOCK:
        case EOPNOTSUPP:
        case ENOTCONN:
        case EISCONN:
        case EDESTADDRREQ:
        case EPIPE:
            return true;
        default:
            return false;
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// Name resolution

Resolution DatagramSocket::State::lookUp(SystemCalls& system, const std::string& host, std::uint16_t port) {
    if (detail::isLoopbackName(host)) {
        return {
            {detail::ipv4Address(in_addr{htonl(INADDR_LOOPBACK)}, port), detail::ipv6Address(in6addr_loopback, port)},
            std::nullopt};
    }
    if (auto address = numericAddress(host, port)) {
        return {{std::move(*address)}, std::nullopt};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* answers = nullptr;
    const auto service = std::to_string(port);
    if (const int code = system.getaddrinfo(host.c_str(), service.c_str(), &hints, &answers); code != 0) {
        return {{}, SocketError::netdb(code)};
    }
    Resolution resolution;
    for (const addrinfo* answer = answers; answer != nullptr; answer = answer->ai_next) {
        if (answer->ai_addr == nullptr) {
            continue;
        }
        if (answer->ai_family == AF_INET && answer->ai_addrlen >= sizeof(sockaddr_in)) {
            resolution.addresses.push_back(detail::fromKernel(answer->ai_addr, sizeof(sockaddr_in)));
        } else if (answer->ai_family == AF_INET6 && answer->ai_addrlen >= sizeof(sockaddr_in6)) {
            auto address = detail::fromKernel(answer->ai_addr, sizeof(sockaddr_in6));
            if (detail::portOf(address) == 0) {
                address = detail::withPort(address, port);
            }
            resolution.addresses.push_back(std::move(address));
        }
    }
    system.freeaddrinfo(answers);
    if (resolution.addresses.empty()) {
        resolution.error = SocketError::netdb(EAI_FAIL);
    }
    return resolution;
}

// Starts resolving `host` for `packet`; the outcome reaches the socket queue
// later, whatever the queue has done with the packet meanwhile. Runs on the
// caller's thread.
void DatagramSocket::State::resolve(const std::shared_ptr<State>& state, const std::shared_ptr<SendPacket>& packet,
                                    const std::string& host, std::uint16_t port) {
    auto complete = [weak = std::weak_ptr<State>(state), packet](Resolution resolution) {
        const auto strong = weak.lock();
        if (!strong) {
            return;
        }
        strong->queue->async([weak, packet, resolution = std::move(resolution)]() mutable {
            if (auto current = weak.lock()) {
                current->didResolve(packet, std::move(resolution));
            }
        });
    };
    if (host.empty()) {
        complete({{}, SocketError::badParam("The host param is nil. Should be domain name or IP address string.")});
        return;
    }
    // Loopback names and numeric hosts never wait for the resolver, so they
    // need no thread of the pool.
    if (detail::isLoopbackName(host) || numericAddress(host, port)) {
        complete(lookUp(*state->system, host, port));
        return;
    }
    // getaddrinfo may block for seconds: on the pool, never on the socket queue.
    dispatch::globalQueue(dispatch::QualityOfService::standard)
        ->async([complete = std::move(complete), system = state->system, host, port] {
            complete(lookUp(*system, host, port));
        });
}

void DatagramSocket::State::didResolve(const std::shared_ptr<SendPacket>& packet, Resolution resolution) {
    packet->resolveInProgress = false;
    packet->resolvedAddresses = std::move(resolution.addresses);
    packet->resolveError = std::move(resolution.error);
    if (packet == currentSend) {
        doPreSend();
    }
}

// ---------------------------------------------------------------------------
// The send queue

void DatagramSocket::State::enqueueSend(std::shared_ptr<SendPacket> packet) {
    sendQueue.push_back(std::move(packet));
    maybeDequeueSend();
}

// Sends that finish at once end in this loop rather than in a call back into
// it, so a long queue of failing sends cannot deepen the stack.
void DatagramSocket::State::maybeDequeueSend() {
    if (dequeueing) {
        return;
    }
    dequeueing = true;
    while (!currentSend && !sendQueue.empty()) {
        if (!has(didCreateSockets)) {
            if (auto failure = createSockets()) {
                closeWithError(std::move(failure));
                break;
            }
        }
        currentSend = std::move(sendQueue.front());
        sendQueue.pop_front();
        doPreSend();
    }
    dequeueing = false;
    if (!currentSend && sendQueue.empty() && has(closeAfterSends)) {
        closeWithError(std::nullopt);
    }
}

void DatagramSocket::State::doPreSend() {
    const auto packet = currentSend;
    if (packet->resolveInProgress) {
        // Nothing to send until the resolver answers; a writable descriptor
        // would only report so again and again.
        suspendWritableSources();
        return;
    }
    std::optional<SocketError> failure;
    if (packet->resolveError) {
        failure = packet->resolveError;
    } else if (!packet->address.empty()) {
        failure = checkGivenAddress(*packet);
    } else if (!packet->resolvedAddresses.empty()) {
        failure = chooseAddress(packet->resolvedAddresses, *packet);
    } else {
        failure = SocketError::badConfig("You must specify destination of packet for a non-connected socket");
    }
    if (failure) {
        finishCurrentSend(failure);
        maybeDequeueSend();
        return;
    }
    if (!sendFilter || !sendFilterQueue) {
        doSend();
        return;
    }
    const auto decide = [filter = sendFilter, data = packet->buffer, address = packet->address, tag = packet->tag] {
        return filter(data, address, tag);
    };
    if (!sendFilterAsync) {
        sendFilterAnswered(packet, askAndWait(sendFilterQueue, *queue, decide));
        return;
    }
    packet->filterInProgress = true;
    sendFilterQueue->async([weak = weak_from_this(), packet, decide] {
        auto answer = askFilter(decide);
        if (const auto state = weak.lock()) {
            state->queue->async([weak, packet, answer = std::move(answer)] {
                if (auto current = weak.lock()) {
                    current->sendFilterAnswered(packet, answer);
                }
            });
        }
    });
}

void DatagramSocket::State::sendFilterAnswered(const std::shared_ptr<SendPacket>& packet, const FilterAnswer& answer) {
    packet->filterInProgress = false;
    if (packet != currentSend) {
        return;
    }
    if (answer.allowed) {
        doSend();
        return;
    }
    // A send that the filter holds back counts as done; one that it could
    // not decide on was not sent, and says why.
    finishCurrentSend(answer.failure ? std::optional(SocketError::other("Send filter failed: " + *answer.failure))
                                     : std::nullopt);
    maybeDequeueSend();
}

std::optional<SocketError> DatagramSocket::State::checkGivenAddress(SendPacket& packet) const {
    if (packet.addressFamily == 0) {
        return SocketError::badParam("A valid IPv4 or IPv6 address was not given");
    }
    if (packet.addressFamily == AF_INET && has(ipv4Disabled)) {
        return SocketError::badParam("IPv4 has been disabled and an IPv4 address was passed.");
    }
    if (packet.addressFamily == AF_INET6 && has(ipv6Disabled)) {
        return SocketError::badParam("IPv6 has been disabled and an IPv6 address was passed.");
    }
    return chooseAddress({packet.address}, packet);
}

// Picks the destination from the resolver's list. A family is unusable when it
// is disabled, when this host lacks it, or when its descriptor sat the bind
// out or does not exist: the choice skips it rather than send from a
// descriptor that is not there.
std::optional<SocketError> DatagramSocket::State::chooseAddress(const std::vector<SharedBytes>& addresses,
                                                                SendPacket& packet) const {
    const SharedBytes* first4 = nullptr;
    const SharedBytes* first6 = nullptr;
    for (const auto& address : addresses) {
        const int family = detail::familyOf(address);
        if (family == AF_INET && first4 == nullptr) {
            first4 = &address;
        } else if (family == AF_INET6 && first6 == nullptr) {
            first6 = &address;
        }
    }
    const bool has4 = first4 != nullptr;
    const bool has6 = first6 != nullptr;
    const bool disabled4 = has(ipv4Disabled) || ipv4.unsupported;
    const bool disabled6 = has(ipv6Disabled) || ipv6.unsupported;
    const bool deactivated4 = has(ipv4Deactivated) || !ipv4.exists();
    const bool deactivated6 = has(ipv6Deactivated) || !ipv6.exists();
    if (disabled4 && !has6) {
        return SocketError::other("IPv4 has been disabled and DNS lookup found no IPv6 address(es).");
    }
    if (disabled6 && !has4) {
        return SocketError::other("IPv6 has been disabled and DNS lookup found no IPv4 address(es).");
    }
    if (deactivated4 && !has6) {
        return SocketError::other(
            "IPv4 has been deactivated due to bind/connect, and DNS lookup found no IPv6 address(es).");
    }
    if (deactivated6 && !has4) {
        return SocketError::other(
            "IPv6 has been deactivated due to bind/connect, and DNS lookup found no IPv4 address(es).");
    }
    const bool usable4 = has4 && !disabled4 && !deactivated4;
    const bool usable6 = has6 && !disabled6 && !deactivated6;
    if (!usable4 && !usable6) {
        if (disabled4 && disabled6) {
            return SocketError::badConfig(
                "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
        }
        return SocketError::other(
            "Neither IPv4 nor IPv6 can be used: each is disabled or deactivated due to bind/connect.");
    }
    const SharedBytes* chosen = usable4 ? first4 : first6;
    if (usable4 && usable6) {
        if (has(preferIPv6)) {
            chosen = first6;
        } else if (!has(preferIPv4)) {
            chosen = first4 < first6 ? first4 : first6;  // the resolver's order
        }
    }
    packet.address = *chosen;
    packet.addressFamily = detail::familyOf(*chosen);
    return std::nullopt;
}

void DatagramSocket::State::doSend() {
    auto& packet = *currentSend;
    auto& endpoint = this->endpoint(packet.addressFamily);
    const auto target = detail::toKernel(packet.address);
    if (!endpoint.exists() || !target) {
        // The address choice rules this out; never hand the kernel a stale
        // descriptor number.
        finishCurrentSend(SocketError::other("No descriptor for the destination's address family."));
        maybeDequeueSend();
        return;
    }
    ssize_t sent = 0;
    int error = 0;
    do {
        // Linux has no SO_NOSIGPIPE; the flag keeps any SIGPIPE away.
        sent = system->sendto(endpoint.fd, packet.buffer.data(), packet.buffer.size(), MSG_NOSIGNAL, target->get(),
                              target->length);
        error = sent < 0 ? errno : 0;
    } while (sent < 0 && error == EINTR);
    // The kernel binds a descriptor to an ephemeral port at its first send.
    flags |= didBind;
    if (sent > 0) {
        finishCurrentSend(std::nullopt);
        maybeDequeueSend();
        return;
    }
    if (sent == 0 || error == EAGAIN || error == EWOULDBLOCK) {
        endpoint.canAcceptBytes = false;
        for (Endpoint* waiting : {&ipv4, &ipv6}) {
            if (!waiting->canAcceptBytes && waiting->sendSource) {
                waiting->sendSource->resume();
            }
        }
        if (!sendTimer.isPending() && packet.timeout >= 0) {
            startSendTimer(packet.timeout);
        }
        return;
    }
    // The kernel refused this datagram. Most refusals concern it or its
    // destination alone, and closing for them would drop the sends queued
    // behind it and give a bound socket up: only a descriptor that is no
    // longer a usable socket is closed.
    auto failure = SocketError::posix(error, "Error in send() function.");
    finishCurrentSend(failure);
    if (concernsDescriptor(error)) {
        closeWithError(std::move(failure));
        return;
    }
    maybeDequeueSend();
}

void DatagramSocket::State::onWritable(Endpoint& endpoint) {
    endpoint.canAcceptBytes = true;
    if (currentSend && !currentSend->resolveInProgress && !currentSend->filterInProgress &&
        !currentSend->address.empty()) {
        doSend();
    } else if (endpoint.sendSource) {
        endpoint.sendSource->suspend();
    }
}

void DatagramSocket::State::startSendTimer(double timeout) {
    // Past a few decades the deadline would overflow the clock; that is as
    // good as no limit.
    constexpr double longestTimeout = 1e9;
    if (!(timeout <= longestTimeout)) {
        return;
    }
    const auto delay = std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(timeout));
    sendTimer.start(delay, [weak = weak_from_this()] {
        if (auto state = weak.lock()) {
            state->onSendTimeout();
        }
    });
}

void DatagramSocket::State::onSendTimeout() {
    if (!currentSend) {
        return;
    }
    finishCurrentSend(SocketError::sendTimeout());
    maybeDequeueSend();
}

void DatagramSocket::State::endCurrentSend() {
    sendTimer.cancel();
    currentSend.reset();
}

void DatagramSocket::State::finishCurrentSend(const std::optional<SocketError>& error) {
    const auto tag = currentSend->tag;
    endCurrentSend();
    if (error) {
        notifyDidNotSend(tag, *error);
    } else {
        notifyDidSend(tag);
    }
}

void DatagramSocket::State::closeAfterSending() {
    flags |= closeAfterSends;
    if (!currentSend && sendQueue.empty()) {
        closeWithError(std::nullopt);
    }
}

void DatagramSocket::State::suspendWritableSources() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (endpoint->canAcceptBytes && endpoint->sendSource) {
            endpoint->sendSource->suspend();
        }
    }
}

// ---------------------------------------------------------------------------
// DatagramSocket

void DatagramSocket::sendData(SharedBytes data, std::string host, std::uint16_t port, double timeout,
                              std::int64_t tag) {
    if (data.empty()) {
        return;
    }
    auto packet = std::make_shared<SendPacket>(std::move(data), timeout, tag);
    packet->resolveInProgress = true;
    State::resolve(state_, packet, host, port);
    laterOnSocketQueue([packet = std::move(packet)](State& state) { state.enqueueSend(packet); });
}

void DatagramSocket::sendData(SharedBytes data, SharedBytes address, double timeout, std::int64_t tag) {
    if (data.empty()) {
        return;
    }
    auto packet = std::make_shared<SendPacket>(std::move(data), timeout, tag);
    packet->addressFamily = detail::familyOf(address);
    packet->address = std::move(address);
    laterOnSocketQueue([packet = std::move(packet)](State& state) { state.enqueueSend(packet); });
}

void DatagramSocket::setSendFilter(SendFilter filter, std::shared_ptr<dispatch::Queue> queue, bool isAsynchronous) {
    if (filter && !queue) {
        detail::stopOnProgrammingError("Must provide a dispatch_queue in which to run the filter block.");
    }
    laterOnSocketQueue([filter = std::move(filter), queue = std::move(queue), isAsynchronous](State& state) {
        state.sendFilter = filter;
        State::retire(std::exchange(state.sendFilterQueue, filter ? queue : nullptr));
        state.sendFilterAsync = isAsynchronous;
    });
}

void DatagramSocket::closeAfterSending() {
    laterOnSocketQueue([](State& state) { state.closeAfterSending(); });
}

}  // namespace vorn::udp
