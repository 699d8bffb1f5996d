#pragma once

#include "udp/SocketError.h"

#include <stdexcept>

namespace vorn::net {

// A socket-layer failure thrown by the OSC transport. The socket layer reports
// errors as values; the transport throws them unchanged inside this, so a
// caller can still inspect domain, code, reason and user information.
class OSCSocketError : public std::runtime_error {
public:
    explicit OSCSocketError(udp::SocketError error);

    const udp::SocketError& error() const noexcept { return error_; }

private:
    udp::SocketError error_;
};

}  // namespace vorn::net
