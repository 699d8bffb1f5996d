#pragma once

#include "net/OSCClient.h"
#include "net/OSCReceiver.h"
#include "net/OSCStreamFraming.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::udp {
class SystemCalls;
}

namespace vorn::net {

// Listens for OSC over TCP on one port (IPv4 and IPv6) and takes many
// connections, each read through a framing decoder of its own. Every
// message from any of them goes to the handler on the receive queue, with
// the peer's numeric host and port, decoded and unpacked as OSCServer does.
//
// A connection that sends a bad frame, or breaks, is closed alone; the
// others go on. Connections beyond `maxConnections` (64 by default) are
// closed as soon as they are accepted, so a flood of them costs a descriptor
// for a moment each, no more. An idle server costs nothing: its sockets wait
// in the kernel.
class OSCTCPServer final : public OSCReceiver {
    struct Key {};

public:
    static constexpr std::string_view receiveQueueLabel = "com.vorn.osc.OSCTCPServer.receiveQueue";
    static constexpr std::size_t defaultMaxConnections = 64;

    // A connection opened (no reason) or closed (why, when it was not the
    // server that closed it), on the receive queue.
    struct ConnectionEvent {
        std::string host;
        std::uint16_t port = 0;
        bool opened = false;
        std::optional<udp::SocketError> reason;
    };
    using ConnectionHandler = std::function<void(const ConnectionEvent& event)>;

    // Nothing is bound until start(). Without a queue the server makes its own.
    static std::shared_ptr<OSCTCPServer> create(std::uint16_t port, OSCFraming framing, OSCTimeTagMode timeTagMode,
                                                std::shared_ptr<dispatch::SerialQueue> receiveQueue = nullptr,
                                                OSCMessageHandler handler = nullptr,
                                                std::shared_ptr<udp::SystemCalls> system = nullptr);

    OSCTCPServer(Key, std::uint16_t port, OSCFraming framing, OSCTimeTagMode timeTagMode,
                 std::shared_ptr<dispatch::SerialQueue> receiveQueue, OSCMessageHandler handler,
                 std::shared_ptr<udp::SystemCalls> system);
    ~OSCTCPServer() override;

    // Binds and listens; does nothing when started. Throws OSCSocketError
    // with the socket's error. Not from the receive queue.
    void start();
    // Closes the listening sockets and every connection.
    void stop();
    bool isStarted() const noexcept { return isStarted_.load(std::memory_order_relaxed); }

    std::uint16_t localPort() const noexcept { return localPort_; }
    // The port actually bound (differs for port 0), 0 while nothing is.
    std::uint16_t boundPort() const noexcept { return boundPort_.load(std::memory_order_relaxed); }

    // Apply to connections accepted afterwards. Any thread.
    void setMaxConnections(std::size_t count);
    void setMaxFrameSize(std::size_t size);
    void setConnectionHandler(ConnectionHandler handler);
    // Connections open right now; waits for the receive queue.
    std::size_t connectionCount() const;

    // Sends `packet` over the connection from `host` and `port`, as the
    // handler named them; `completion`, when given, learns on the receive
    // queue whether the kernel took it or why not (no such connection, its
    // send queue full, closed first). Any thread; throws only OSCEncodeError.
    void send(const osc::OSCPacket& packet, const std::string& host, std::uint16_t port,
              SendCompletion completion = {});
    void send(const osc::OSCMessage& message, const std::string& host, std::uint16_t port,
              SendCompletion completion = {});

private:
    struct Core;

    std::uint16_t localPort_;
    std::atomic<std::uint16_t> boundPort_{0};
    std::atomic<bool> isStarted_{false};
    std::shared_ptr<Core> core_;
};

}  // namespace vorn::net
