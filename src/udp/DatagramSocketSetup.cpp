// Descriptors, their options and binding: what a socket does before it can
// send or receive, and the close that undoes it.

#include "udp/DatagramSocket.h"

#include "udp/SocketAddress.h"
#include "udp/detail/DatagramSocketState.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace vorn::udp {

namespace {

// Descriptors close in their sources' cancel handlers, which a close queues
// on the socket queue: one more turn of it lets them run, unless this is
// that queue already.
void letCancelHandlersRun(dispatch::SerialQueue& queue) {
    if (!queue.isCurrent()) {
        queue.sync([] {});
    }
}

}  // namespace

// ---------------------------------------------------------------------------
// State: descriptors

std::optional<SocketError> DatagramSocket::State::preOp() const {
    if (delegate.expired()) {
        return SocketError::badConfig("Attempting to use socket without a delegate. Set a delegate first.");
    }
    if (!delegateQueue) {
        return SocketError::badConfig("Attempting to use socket without a delegate queue. Set a delegate queue first.");
    }
    return std::nullopt;
}

std::optional<SocketError> DatagramSocket::State::preBind() const {
    if (auto failure = preOp()) {
        return failure;
    }
    if (has(didBind)) {
        return SocketError::badConfig("Cannot bind a socket more than once.");
    }
    if (has(ipv4Disabled) && has(ipv6Disabled)) {
        return SocketError::badConfig(
            "Both IPv4 and IPv6 have been disabled. Must enable at least one protocol first.");
    }
    return std::nullopt;
}

std::optional<SocketError> DatagramSocket::State::createSockets() {
    return createSockets(!has(ipv4Disabled), !has(ipv6Disabled));
}

std::optional<SocketError> DatagramSocket::State::createSockets(bool useIPv4, bool useIPv6) {
    if (has(didCreateSockets)) {
        return std::nullopt;
    }
    std::optional<SocketError> failure4;
    std::optional<SocketError> failure6;
    if (useIPv4) {
        failure4 = openDescriptor(ipv4);
    }
    if (useIPv6 && (!failure4 || ipv4.unsupported)) {
        failure6 = openDescriptor(ipv6);
    }
    // A host without one of the families still works over the other.
    if (failure4 && ipv4.unsupported && ipv6.exists()) {
        failure4.reset();
    }
    if (failure6 && ipv6.unsupported && ipv4.exists()) {
        failure6.reset();
    }
    auto failure = failure4 ? failure4 : failure6;
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (!failure && endpoint->exists()) {
            failure = setUpSources(*endpoint);
        }
    }
    if (failure) {
        closeSockets();
        return failure;
    }
    flags |= didCreateSockets;
    return std::nullopt;
}

std::optional<SocketError> DatagramSocket::State::openDescriptor(Endpoint& endpoint) {
    const int fd = system->socket(endpoint.family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int error = errno;
        endpoint.unsupported = error == EAFNOSUPPORT;
        return SocketError::posix(error, "Error in socket() function");
    }
    const auto fail = [&](int error, const char* reason) {
        system->close(fd);
        return SocketError::posix(error, reason);
    };
    const int status = system->fcntl(fd, F_GETFL, 0);
    if (status < 0 || system->fcntl(fd, F_SETFL, status | O_NONBLOCK) < 0) {
        return fail(errno, "Error enabling non-blocking IO on socket (fcntl)");
    }
    // Without it the IPv6 descriptor also claims the port for IPv4, and the
    // IPv4 descriptor's bind to the same port collides with it.
    if (endpoint.family == AF_INET6) {
        const int on = 1;
        if (system->setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            return fail(errno, "Error enabling IPv6-only mode (setsockopt)");
        }
    }
    if (auto failure = setUpBufferSize(fd, SO_SNDBUF, "Error setting send buffer size (setsockopt)")) {
        system->close(fd);
        return failure;
    }
    // The receive buffer follows the send size too.
    if (auto failure = setUpBufferSize(fd, SO_RCVBUF, "Error setting receive buffer size (setsockopt)")) {
        system->close(fd);
        return failure;
    }
    endpoint.fd = fd;
    return std::nullopt;
}

// Linux's default buffers are larger than the 16-bit size asked for, and a
// smaller receive buffer drops bursts that the default would keep: only ever
// raise a buffer.
std::optional<SocketError> DatagramSocket::State::setUpBufferSize(int fd, int option, const char* failure) {
    int current = 0;
    socklen_t length = sizeof current;
    if (system->getsockopt(fd, SOL_SOCKET, option, &current, &length) != 0) {
        return SocketError::posix(errno, failure);
    }
    const int wanted = maxSendSize;
    if (current >= wanted) {
        return std::nullopt;
    }
    if (system->setsockopt(fd, SOL_SOCKET, option, &wanted, sizeof wanted) != 0) {
        return SocketError::posix(errno, failure);
    }
    return std::nullopt;
}

std::optional<SocketError> DatagramSocket::State::setUpSources(Endpoint& endpoint) {
    try {
        endpoint.sendSource =
            std::make_unique<dispatch::ReadinessSource>(queue, endpoint.fd, dispatch::ReadinessSource::Kind::write);
        endpoint.receiveSource =
            std::make_unique<dispatch::ReadinessSource>(queue, endpoint.fd, dispatch::ReadinessSource::Kind::read);
    } catch (const std::system_error& failure) {
        endpoint.sendSource.reset();
        endpoint.receiveSource.reset();
        return SocketError::posix(failure.code().value(), "Error watching socket for readiness");
    }
    const int family = endpoint.family;
    endpoint.sendSource->setEventHandler([weak = weak_from_this(), family](std::size_t) {
        if (auto state = weak.lock()) {
            state->onWritable(state->endpoint(family));
        }
    });
    endpoint.receiveSource->setEventHandler([weak = weak_from_this(), family](std::size_t estimate) {
        if (auto state = weak.lock()) {
            state->onReadable(state->endpoint(family), estimate);
        }
    });
    // Closing the descriptor while a source still watches it would let a new
    // descriptor with the same number be confused with it: the last source
    // to finish cancelling closes it. Both handlers run on the socket queue.
    auto remaining = std::make_shared<int>(2);
    const auto closeWhenBothCancelled = [system = system, fd = endpoint.fd, remaining] {
        if (--*remaining == 0) {
            system->close(fd);
        }
    };
    endpoint.sendSource->setCancelHandler(closeWhenBothCancelled);
    endpoint.receiveSource->setCancelHandler(closeWhenBothCancelled);
    endpoint.canAcceptBytes = true;
    endpoint.hasData = false;
    return std::nullopt;
}

void DatagramSocket::State::closeSockets() {
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (!endpoint->exists()) {
            continue;
        }
        if (endpoint->sendSource && endpoint->receiveSource) {
            endpoint->sendSource->cancel();
            endpoint->receiveSource->cancel();
        } else {
            system->close(endpoint->fd);
        }
        endpoint->sendSource.reset();
        endpoint->receiveSource.reset();
        endpoint->fd = -1;
        endpoint->hasData = false;
        endpoint->canAcceptBytes = false;
        endpoint->cachedAddress = {};
        endpoint->cachedHost.clear();
        endpoint->cachedPort = 0;
    }
    flags &= ~didCreateSockets;
}

void DatagramSocket::State::closeWithError(std::optional<SocketError> error) {
    const bool hadSockets = has(didCreateSockets);
    endCurrentSend();
    sendQueue.clear();
    closeSockets();
    flags = 0;
    pendingFilterOperations = 0;
    ++closeCount;
    // A failed close without descriptors (they could not be created for a
    // send) is reported too: the sends it dropped would vanish unexplained.
    if (hadSockets || error) {
        // Queued behind the descriptors' cancel handlers, so whoever hears of
        // the close finds the descriptors closed.
        queue->async([weak = weak_from_this(), error = std::move(error)] {
            if (auto state = weak.lock()) {
                state->notifyDidClose(error);
            }
        });
    }
}

// ---------------------------------------------------------------------------
// State: options and binding

// An option is set on the descriptors, made now if there are none yet.
std::optional<SocketError> DatagramSocket::State::preOption() {
    if (auto failure = preOp()) {
        return failure;
    }
    return createSockets();
}

std::optional<SocketError> DatagramSocket::State::enableReusePort(bool flag, bool& result) {
    result = false;
    if (auto failure = preOption()) {
        return failure;
    }
    const int value = flag ? 1 : 0;
    std::optional<SocketError> failure;
    for (Endpoint* endpoint : {&ipv4, &ipv6}) {
        if (!endpoint->exists()) {
            continue;
        }
        if (system->setsockopt(endpoint->fd, SOL_SOCKET, SO_REUSEPORT, &value, sizeof value) != 0) {
            failure = SocketError::posix(errno, "Error in setsockopt() function");
            break;
        }
        result = true;
    }
    return failure;
}

std::optional<SocketError> DatagramSocket::State::enableBroadcast(bool flag, bool& result) {
    result = false;
    if (auto failure = preOption()) {
        return failure;
    }
    if (!ipv4.exists()) {
        return std::nullopt;
    }
    const int value = flag ? 1 : 0;
    if (system->setsockopt(ipv4.fd, SOL_SOCKET, SO_BROADCAST, &value, sizeof value) != 0) {
        return SocketError::posix(errno, "Error in setsockopt() function");
    }
    result = true;
    return std::nullopt;
}

std::optional<SocketError> DatagramSocket::State::bindToPort(std::uint16_t port,
                                                             const std::optional<std::string>& interface) {
    if (auto failure = preBind()) {
        return failure;
    }
    std::optional<SharedBytes> address4;
    std::optional<SharedBytes> address6;
    if (!interface) {
        address4 = detail::ipv4Address(in_addr{htonl(INADDR_ANY)}, port);
        address6 = detail::ipv6Address(in6addr_any, port);
    } else if (detail::isLoopbackName(*interface)) {
        address4 = detail::ipv4Address(in_addr{htonl(INADDR_LOOPBACK)}, port);
        address6 = detail::ipv6Address(in6addr_loopback, port);
    } else {
        interfaceAddresses(*interface, port, address4, address6);
    }
    if (!address4 && !address6) {
        return SocketError::badParam(
            "Unknown interface. Specify valid interface by name (e.g. \"en1\") or IP address.");
    }
    if (has(ipv4Disabled) && !address6) {
        return SocketError::badParam("IPv4 has been disabled and specified interface doesn't support IPv6.");
    }
    if (has(ipv6Disabled) && !address4) {
        return SocketError::badParam("IPv6 has been disabled and specified interface doesn't support IPv4.");
    }
    if (has(ipv4Disabled)) {
        address4.reset();
    }
    if (has(ipv6Disabled)) {
        address6.reset();
    }
    return bindAddresses(std::move(address4), std::move(address6));
}

std::optional<SocketError> DatagramSocket::State::bindToAddress(const SharedBytes& address) {
    if (auto failure = preBind()) {
        return failure;
    }
    const int family = detail::familyOf(address);
    if (family == 0) {
        return SocketError::badParam("A valid IPv4 or IPv6 address was not given");
    }
    if (family == AF_INET && has(ipv4Disabled)) {
        return SocketError::badParam("IPv4 has been disabled and an IPv4 address was passed.");
    }
    if (family == AF_INET6 && has(ipv6Disabled)) {
        return SocketError::badParam("IPv6 has been disabled and an IPv6 address was passed.");
    }
    if (family == AF_INET) {
        return bindAddresses(address, std::nullopt);
    }
    return bindAddresses(std::nullopt, address);
}

std::optional<SocketError> DatagramSocket::State::bindAddresses(std::optional<SharedBytes> address4,
                                                                std::optional<SharedBytes> address6) {
    if (!has(didCreateSockets)) {
        if (auto failure = createSockets(address4.has_value(), address6.has_value())) {
            return failure;
        }
    }
    // A family whose descriptor is missing (the host lacks it, or it was
    // disabled when the descriptors were made) sits the bind out.
    if (!ipv4.exists()) {
        address4.reset();
    }
    if (!ipv6.exists()) {
        address6.reset();
    }
    if (!address4 && !address6) {
        return SocketError::posix(EAFNOSUPPORT, "Error in bind() function");
    }
    const std::pair<Endpoint*, const std::optional<SharedBytes>*> binds[] = {{&ipv4, &address4}, {&ipv6, &address6}};
    for (const auto& [endpoint, address] : binds) {
        if (!*address) {
            continue;
        }
        const auto kernel = detail::toKernel(**address);
        if (!kernel || system->bind(endpoint->fd, kernel->get(), kernel->length) != 0) {
            const int error = kernel ? errno : EINVAL;
            closeSockets();
            return SocketError::posix(error, "Error in bind() function");
        }
    }
    flags |= didBind;
    if (!address4) {
        flags |= ipv4Deactivated;
    }
    if (!address6) {
        flags |= ipv6Deactivated;
    }
    return std::nullopt;
}

// The first address of each family that belongs to the interface named
// `interface`, or that is the address `interface` spells.
void DatagramSocket::State::interfaceAddresses(const std::string& interface, std::uint16_t port,
                                               std::optional<SharedBytes>& address4,
                                               std::optional<SharedBytes>& address6) const {
    in_addr numeric4{};
    in6_addr numeric6{};
    const bool is4 = ::inet_pton(AF_INET, interface.c_str(), &numeric4) == 1;
    const bool is6 = ::inet_pton(AF_INET6, interface.c_str(), &numeric6) == 1;
    ifaddrs* list = nullptr;
    if (system->getifaddrs(&list) != 0) {
        return;
    }
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr) {
            continue;
        }
        const bool named = entry->ifa_name != nullptr && interface == entry->ifa_name;
        if (entry->ifa_addr->sa_family == AF_INET && !address4) {
            sockaddr_in found{};
            std::memcpy(&found, entry->ifa_addr, sizeof found);
            if (named || (is4 && std::memcmp(&found.sin_addr, &numeric4, sizeof numeric4) == 0)) {
                address4 = detail::ipv4Address(found.sin_addr, port);
            }
        } else if (entry->ifa_addr->sa_family == AF_INET6 && !address6) {
            sockaddr_in6 found{};
            std::memcpy(&found, entry->ifa_addr, sizeof found);
            if (named || (is6 && std::memcmp(&found.sin6_addr, &numeric6, sizeof numeric6) == 0)) {
                address6 = detail::ipv6Address(found.sin6_addr, port, found.sin6_scope_id);
            }
        }
    }
    system->freeifaddrs(list);
}

// The descriptor whose address the plain queries report: IPv4 unless it sat
// the bind out.
Endpoint& DatagramSocket::State::localEndpoint() {
    if (ipv4.exists() && !has(ipv4Deactivated)) {
        return ipv4;
    }
    return ipv6.exists() ? ipv6 : ipv4;
}

const Endpoint& DatagramSocket::State::withLocalCache(Endpoint& endpoint) {
    if (!has(didBind) || !endpoint.exists() || endpoint.cachedPort != 0) {
        return endpoint;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (system->getsockname(endpoint.fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
        return endpoint;
    }
    auto address = detail::fromKernel(reinterpret_cast<const sockaddr*>(&bound), length);
    const auto port = detail::portOf(address);
    // Port 0: a descriptor that no send has bound yet; ask again later.
    if (port == 0) {
        return endpoint;
    }
    endpoint.cachedHost = detail::hostText(address);
    endpoint.cachedAddress = std::move(address);
    endpoint.cachedPort = port;
    return endpoint;
}

// ---------------------------------------------------------------------------
// DatagramSocket: options, binding, closing

bool DatagramSocket::enableReusePort(bool flag, SocketError* error) {
    bool result = false;
    detail::succeeded(onSocketQueue([&](State& state) { return state.enableReusePort(flag, result); }), error);
    return result;
}

bool DatagramSocket::enableBroadcast(bool flag, SocketError* error) {
    bool result = false;
    detail::succeeded(onSocketQueue([&](State& state) { return state.enableBroadcast(flag, result); }), error);
    return result;
}

bool DatagramSocket::bindToPort(std::uint16_t port, SocketError* error) {
    return bindToPort(port, std::nullopt, error);
}

bool DatagramSocket::bindToPort(std::uint16_t port, const std::optional<std::string>& interface, SocketError* error) {
    const auto failure = onSocketQueue([&](State& state) { return state.bindToPort(port, interface); });
    if (failure) {
        letCancelHandlersRun(*state_->queue);  // a failed bind closed descriptors
    }
    return detail::succeeded(failure, error);
}

bool DatagramSocket::bindToAddress(const SharedBytes& address, SocketError* error) {
    const auto failure = onSocketQueue([&](State& state) { return state.bindToAddress(address); });
    if (failure) {
        letCancelHandlersRun(*state_->queue);
    }
    return detail::succeeded(failure, error);
}

void DatagramSocket::close() {
    onSocketQueue([](State& state) { state.closeWithError(std::nullopt); });
    letCancelHandlersRun(*state_->queue);
}

}  // namespace vorn::udp
