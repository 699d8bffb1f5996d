#pragma once

#include "base/SharedBytes.h"
#include "udp/SocketError.h"
#include "udp/SystemCalls.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vorn::net::detail {

// What a lookup of a TCP peer gave: addresses in the resolver's order
// (sockaddr bytes), or why there are none.
struct TCPResolution {
    std::vector<SharedBytes> addresses;
    std::optional<udp::SocketError> error;
};

// Looks `host` up for a stream to `port` and calls `done` with the outcome:
// at once for loopback names and numeric hosts, else from a thread of the
// pool, since the resolver may block for seconds.
void resolveTCP(const std::shared_ptr<udp::SystemCalls>& system, const std::string& host, std::uint16_t port,
                std::function<void(TCPResolution)> done);

// A non-blocking stream socket of `family` with TCP_NODELAY (small OSC
// packets must not wait for the packets before them to be acknowledged);
// -1 and `error` when it cannot be made.
int openTCPSocket(udp::SystemCalls& system, int family, udp::SocketError& error);

}  // namespace vorn::net::detail
