#pragma once

#include "udp/SocketError.h"

#include <optional>
#include <string>
#include <string_view>

namespace vorn::net {

// Failures of the OSC transport over TCP that are not the kernel's own.
inline constexpr std::string_view OSCTCPErrorDomain = "OSCTCPErrorDomain";

enum class OSCTCPErrorCode : int {
    notConnected = 1,    // "Not connected"
    sendQueueFull = 2,   // "Send queue full: N bytes wait for the peer to read"
    badFrame = 3,        // the framing's own text
    closedByPeer = 4,    // "Connection closed by the peer"
    connectTimeout = 5,  // "Connection attempt timed out"
    tooManyConnections = 6,
};

udp::SocketError tcpError(OSCTCPErrorCode code, std::string description);

// Where a TCP client's connection stands. Published by the client each time
// it changes (see OSCTCPClient::observeState()).
struct OSCTCPConnectionState {
    enum class Phase { disconnected, connecting, connected };

    Phase phase = Phase::disconnected;
    // Why the connection is down or the attempt failed; none before the
    // first connect() and after disconnect(), which are no failures.
    std::optional<udp::SocketError> reason;

    friend bool operator==(const OSCTCPConnectionState&, const OSCTCPConnectionState&) = default;
};

}  // namespace vorn::net
