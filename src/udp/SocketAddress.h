#pragma once

// Socket addresses as bytes (sockaddr_in / sockaddr_in6 layout) and back.
// Private to the socket layer.

#include "base/SharedBytes.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::udp::detail {

// AF_INET or AF_INET6 when `address` is long enough for its family, else 0.
int familyOf(const SharedBytes& address);

// An aligned copy for handing to the kernel: SharedBytes may sit at any
// offset of its buffer.
struct KernelAddress {
    sockaddr_storage storage{};
    socklen_t length = 0;

    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&storage); }
};
// Nothing when `address` is neither a whole IPv4 nor a whole IPv6 address.
std::optional<KernelAddress> toKernel(const SharedBytes& address);

// The bytes the kernel filled in, cut to the family's size.
SharedBytes fromKernel(const sockaddr* address, socklen_t length);

SharedBytes ipv4Address(const in_addr& host, std::uint16_t port);
SharedBytes ipv6Address(const in6_addr& host, std::uint16_t port, std::uint32_t scope = 0);
SharedBytes withPort(const SharedBytes& address, std::uint16_t port);
std::uint16_t portOf(const SharedBytes& address);

// Numeric text of the host part: dotted quad or the IPv6 text form.
std::string hostText(const SharedBytes& address);

// "localhost" and "loopback" name the loopback interface without asking
// the resolver or the interface list.
bool isLoopbackName(std::string_view host);

}  // namespace vorn::udp::detail
