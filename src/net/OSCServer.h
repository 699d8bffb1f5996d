#pragma once

#include "net/OSCReceiver.h"
#include "udp/DatagramSocket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string_view>

namespace vorn::net {

class OSCServerUDPDelegate;

// Listens on one UDP port (IPv4 and IPv6) and hands every OSC message that
// arrives to the handler on the receive queue, in arrival order; bundles are
// unpacked in element order and each message carries its bundle's time tag.
// Undecodable datagrams are dropped without a trace.
//
// An idle server costs nothing: the socket waits in the kernel, no thread
// wakes until a datagram arrives.
class OSCServer final : public OSCReceiver {
    struct Key {};

public:
    static constexpr std::string_view receiveQueueLabel = "com.vorn.osc.OSCServer.receiveQueue";

    // Nothing is bound until start(). Without a queue the server makes its own.
    static std::shared_ptr<OSCServer> create(std::uint16_t port, OSCTimeTagMode timeTagMode,
                                             std::shared_ptr<dispatch::SerialQueue> receiveQueue = nullptr,
                                             OSCMessageHandler handler = nullptr);

    OSCServer(Key, std::uint16_t port, OSCTimeTagMode timeTagMode,
              std::shared_ptr<dispatch::SerialQueue> receiveQueue, OSCMessageHandler handler);
    // Releases the socket, which closes it. Bundles still held back are dropped.
    ~OSCServer() override;

    // Binds the port and starts receiving; does nothing when started. Throws
    // OSCSocketError with the socket's error (the bind error of a port in
    // use); isStarted() then stays false. Not from the socket's own queue.
    void start();
    // Closes the socket. Bundles already held back are still delivered.
    void stop();
    bool isStarted() const noexcept { return isStarted_.load(std::memory_order_relaxed); }

    // The configured port.
    std::uint16_t localPort() const noexcept { return localPort_; }
    // The port actually bound (differs for port 0), 0 while nothing is.
    std::uint16_t boundPort() const;

    const std::shared_ptr<udp::DatagramSocket>& udpSocket() const noexcept { return udpSocket_; }

private:
    std::shared_ptr<udp::DatagramSocket> udpSocket_;
    std::shared_ptr<OSCServerUDPDelegate> udpDelegate_;
    std::uint16_t localPort_;
    std::atomic<bool> isStarted_{false};
};

}  // namespace vorn::net
