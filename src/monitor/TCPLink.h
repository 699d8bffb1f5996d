#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "net/OSCTCPClient.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace vorn::monitor {

// The monitor's one TCP connection to its target: pings go out over it and
// answers come back over it. It reconnects in the background for as long as
// it exists, and tells how the connection fares in log lines, each once per
// change: connecting (once, at the start), connected, and lost with the
// reason (also when no connection was ever made). A failed reconnection
// attempt says nothing new; the next line is the connection coming back.
//
// Made, used and destroyed on the main thread; the lines come there too.
class TCPLink {
public:
    // With the kind of line, for the monitor's events: "connecting",
    // "connected" or "connectionLost".
    using LineSink = std::function<void(std::string_view kind, std::string line)>;

    // Starts connecting at once. `handler` gets every message that arrives,
    // on the client's queue.
    TCPLink(dispatch::MainLoop& mainLoop, std::string host, std::uint16_t port, net::OSCFraming framing,
            net::OSCMessageHandler handler, LineSink lines);
    ~TCPLink();

    TCPLink(const TCPLink&) = delete;
    TCPLink& operator=(const TCPLink&) = delete;

    bool leadsTo(const std::string& host, std::uint16_t port, net::OSCFraming framing) const {
        return host == host_ && port == port_ && framing == framing_;
    }

    // As OSCTCPClient::send: a ping that cannot go (no connection, the
    // queue full) is told to `completion`, on the client's queue.
    void send(const osc::OSCMessage& message, net::SendCompletion completion);

    net::OSCTCPClient& client() noexcept { return client_; }

    // The lines, as they read for `endpoint` ("host:port").
    static std::string connectingLine(const std::string& endpoint, net::OSCFraming framing);
    static std::string connectedLine(const std::string& endpoint);
    static std::string lostLine(const std::string& endpoint, const std::string& reason);

private:
    struct Lines;

    const std::string host_;
    const std::uint16_t port_;
    const net::OSCFraming framing_;
    std::shared_ptr<Lines> lines_;
    net::OSCTCPClient client_;
    dispatch::Cancellable observation_;
};

}  // namespace vorn::monitor
