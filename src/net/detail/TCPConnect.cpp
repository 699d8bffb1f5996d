#include "net/detail/TCPConnect.h"

#include "dispatch/ConcurrentQueue.h"
#include "udp/SocketAddress.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cerrno>
#include <utility>

namespace vorn::net::detail {

namespace {

TCPResolution lookUp(udp::SystemCalls& system, const std::string& host, std::uint16_t port) {
    if (udp::detail::isLoopbackName(host)) {
        return {{udp::detail::ipv4Address(in_addr{htonl(INADDR_LOOPBACK)}, port),
                 udp::detail::ipv6Address(in6addr_loopback, port)},
                std::nullopt};
    }
    in_addr address4{};
    if (::inet_pton(AF_INET, host.c_str(), &address4) == 1) {
        return {{udp::detail::ipv4Address(address4, port)}, std::nullopt};
    }
    in6_addr address6{};
    if (::inet_pton(AF_INET6, host.c_str(), &address6) == 1) {
        return {{udp::detail::ipv6Address(address6, port)}, std::nullopt};
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* answers = nullptr;
    const auto service = std::to_string(port);
    if (const int code = system.getaddrinfo(host.c_str(), service.c_str(), &hints, &answers); code != 0) {
        return {{}, udp::SocketError::netdb(code)};
    }
    TCPResolution resolution;
    for (const addrinfo* answer = answers; answer != nullptr; answer = answer->ai_next) {
        if (answer->ai_addr == nullptr) continue;
        if (answer->ai_family == AF_INET && answer->ai_addrlen >= sizeof(sockaddr_in)) {
            resolution.addresses.push_back(udp::detail::fromKernel(answer->ai_addr, sizeof(sockaddr_in)));
        } else if (answer->ai_family == AF_INET6 && answer->ai_addrlen >= sizeof(sockaddr_in6)) {
            resolution.addresses.push_back(
                udp::detail::withPort(udp::detail::fromKernel(answer->ai_addr, sizeof(sockaddr_in6)), port));
        }
    }
    system.freeaddrinfo(answers);
    if (resolution.addresses.empty()) {
        resolution.error = udp::SocketError::netdb(EAI_FAIL);
    }
    return resolution;
}

bool isImmediate(const std::string& host) {
    in6_addr scratch{};
    return udp::detail::isLoopbackName(host) || ::inet_pton(AF_INET, host.c_str(), &scratch) == 1 ||
           ::inet_pton(AF_INET6, host.c_str(), &scratch) == 1;
}

}  // namespace

void resolveTCP(const std::shared_ptr<udp::SystemCalls>& system, const std::string& host, std::uint16_t port,
                std::function<void(TCPResolution)> done) {
    if (host.empty()) {
        done({{}, udp::SocketError::badParam("The host param is empty. Should be domain name or IP address string.")});
        return;
    }
    if (isImmediate(host)) {
        done(lookUp(*system, host, port));
        return;
    }
    dispatch::globalQueue(dispatch::QualityOfService::userInitiated)
        ->async([system, host, port, done = std::move(done)] { done(lookUp(*system, host, port)); });
}

int openTCPSocket(udp::SystemCalls& system, int family, udp::SocketError& error) {
    const int fd = system.socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        error = udp::SocketError::posix(errno, "Error in socket() function");
        return -1;
    }
    const int on = 1;
    if (system.setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on) != 0) {
        error = udp::SocketError::posix(errno, "Error enabling TCP_NODELAY (setsockopt() function)");
        system.close(fd);
        return -1;
    }
    return fd;
}

}  // namespace vorn::net::detail
