#include "udp/SocketAddress.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace vorn::udp::detail {

int familyOf(const SharedBytes& address) {
    sa_family_t family = 0;
    if (address.size() < sizeof family) {
        return 0;
    }
    std::memcpy(&family, address.data(), sizeof family);
    if (family == AF_INET && address.size() >= sizeof(sockaddr_in)) {
        return AF_INET;
    }
    if (family == AF_INET6 && address.size() >= sizeof(sockaddr_in6)) {
        return AF_INET6;
    }
    return 0;
}

std::optional<KernelAddress> toKernel(const SharedBytes& address) {
    const int family = familyOf(address);
    if (family == 0) {
        return std::nullopt;
    }
    KernelAddress result;
    result.length = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    std::memcpy(&result.storage, address.data(), result.length);
    return result;
}

SharedBytes fromKernel(const sockaddr* address, socklen_t length) {
    const auto size = std::min<std::size_t>(length, sizeof(sockaddr_storage));
    std::uint8_t* bytes = nullptr;
    auto result = SharedBytes::allocate(size, bytes);
    std::memcpy(bytes, address, size);
    return result;
}

SharedBytes ipv4Address(const in_addr& host, std::uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr = host;
    return fromKernel(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

SharedBytes ipv6Address(const in6_addr& host, std::uint16_t port, std::uint32_t scope) {
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = host;
    address.sin6_scope_id = scope;
    return fromKernel(reinterpret_cast<const sockaddr*>(&address), sizeof address);
}

SharedBytes withPort(const SharedBytes& address, std::uint16_t port) {
    auto kernel = toKernel(address);
    if (!kernel) {
        return address;
    }
    const auto networkPort = htons(port);
    if (kernel->storage.ss_family == AF_INET) {
        reinterpret_cast<sockaddr_in*>(&kernel->storage)->sin_port = networkPort;
    } else {
        reinterpret_cast<sockaddr_in6*>(&kernel->storage)->sin6_port = networkPort;
    }
    return fromKernel(kernel->get(), kernel->length);
}

std::uint16_t portOf(const SharedBytes& address) {
    const auto kernel = toKernel(address);
    if (!kernel) {
        return 0;
    }
    if (kernel->storage.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&kernel->storage)->sin_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&kernel->storage)->sin6_port);
}

namespace {

// The dotted quad written out by hand: it is asked for once per received
// datagram, and the C library formats it through printf.
std::string dottedQuad(const in_addr& host) {
    const auto* octets = reinterpret_cast<const std::uint8_t*>(&host.s_addr);
    char text[INET_ADDRSTRLEN];
    char* out = text;
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            *out++ = '.';
        }
        const unsigned octet = octets[i];
        if (octet >= 100) {
            *out++ = static_cast<char>('0' + octet / 100);
        }
        if (octet >= 10) {
            *out++ = static_cast<char>('0' + octet / 10 % 10);
        }
        *out++ = static_cast<char>('0' + octet % 10);
    }
    return std::string(text, out);
}

}  // namespace

std::string hostText(const SharedBytes& address) {
    const auto kernel = toKernel(address);
    if (!kernel) {
        return {};
    }
    if (kernel->storage.ss_family == AF_INET) {
        return dottedQuad(reinterpret_cast<const sockaddr_in*>(&kernel->storage)->sin_addr);
    }
    char text[INET6_ADDRSTRLEN] = {};
    const auto& host = reinterpret_cast<const sockaddr_in6*>(&kernel->storage)->sin6_addr;
    if (::inet_ntop(AF_INET6, &host, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

bool isLoopbackName(std::string_view host) {
    return host == "localhost" || host == "loopback";
}

}  // namespace vorn::udp::detail
