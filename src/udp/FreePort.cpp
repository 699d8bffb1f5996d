#include "udp/FreePort.h"

#include <netinet/in.h>

#include <cerrno>

namespace vorn::udp {

namespace {

// Binds a wildcard socket to `port` (0: any) and returns the port it got, or
// 0. One IPv6 socket that also takes IPv4 covers both families at once; a
// host without IPv6 checks IPv4 alone.
std::uint16_t tryPort(std::uint16_t port, SystemCalls& system) {
    int fd = system.socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = 0;
    if (fd >= 0) {
        const int off = 0;
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_addr = in6addr_any;
        v6.sin6_port = htons(port);
        length = sizeof v6;
        if (system.setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off) != 0) {
            system.close(fd);
            return 0;
        }
    } else if (errno == EAFNOSUPPORT) {
        fd = system.socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_addr.s_addr = htonl(INADDR_ANY);
        v4.sin_port = htons(port);
        length = sizeof v4;
    }
    if (fd < 0) {
        return 0;
    }
    const auto* where = reinterpret_cast<sockaddr*>(&address);
    socklen_t boundLength = sizeof address;
    const bool bound = system.bind(fd, where, length) == 0 &&
                       system.getsockname(fd, reinterpret_cast<sockaddr*>(&address), &boundLength) == 0;
    system.close(fd);
    if (!bound) {
        return 0;
    }
    // Both layouts keep the port at the same place.
    return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

}  // namespace

std::uint16_t freePort(std::uint16_t from, std::uint16_t except, SystemCalls& system) {
    if (from == 0) {
        return tryPort(0, system);
    }
    for (unsigned port = from; port < from + 100u && port <= 65535u; ++port) {
        if (port != except) {
            if (const auto found = tryPort(static_cast<std::uint16_t>(port), system); found != 0) {
                return found;
            }
        }
    }
    return 0;
}

}  // namespace vorn::udp
