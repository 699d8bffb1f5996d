#pragma once

#include "net/OSCReceiver.h"
#include "udp/DatagramSocket.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::osc {
class OSCPacket;
}

namespace vorn::net {

class OSCServerUDPDelegate;

// Sends and receives OSC on one UDP port: what arrives goes to the handler as
// with OSCServer, and sends leave from the same port, by default to a stored
// remote host and port.
class OSCSocket final : public OSCReceiver {
    struct Key {};

public:
    static constexpr std::string_view receiveQueueLabel = "com.vorn.osc.OSCSocket.receiveQueue";
    // Under "Reason" in the closed error (DatagramSocketErrorDomain, code 4)
    // that send() throws.
    static constexpr std::string_view notStartedReason = "OSC socket has not been started yet.";
    static constexpr std::string_view noRemoteHostReason =
        "Remote host is not specified in OSCSocket.remoteHost property or in host parameter in call to send().";

    // Nothing is bound until start(). Without a local port start() binds an
    // ephemeral one; without a queue the socket makes its own.
    static std::shared_ptr<OSCSocket> create(std::optional<std::uint16_t> localPort = std::nullopt,
                                             std::optional<std::string> remoteHost = std::nullopt,
                                             std::optional<std::uint16_t> remotePort = std::nullopt,
                                             OSCTimeTagMode timeTagMode = OSCTimeTagMode::osc1_0,
                                             bool isIPv4BroadcastEnabled = false,
                                             std::shared_ptr<dispatch::SerialQueue> receiveQueue = nullptr,
                                             OSCMessageHandler handler = nullptr);

    OSCSocket(Key, std::optional<std::uint16_t> localPort, std::optional<std::string> remoteHost,
              std::optional<std::uint16_t> remotePort, OSCTimeTagMode timeTagMode, bool isIPv4BroadcastEnabled,
              std::shared_ptr<dispatch::SerialQueue> receiveQueue, OSCMessageHandler handler);
    ~OSCSocket() override;

    // The port actually bound, 0 while nothing is.
    std::uint16_t localPort() const;

    // The default destination port: the stored one, else this socket's own
    // local port.
    std::uint16_t remotePort() const;
    void setRemotePort(std::optional<std::uint16_t> port);
    std::optional<std::string> remoteHost() const;
    void setRemoteHost(std::optional<std::string> host);

    bool isIPv4BroadcastEnabled() const noexcept { return isIPv4BroadcastEnabled_; }
    bool isStarted() const noexcept { return isStarted_.load(std::memory_order_relaxed); }

    // Binds and starts receiving; does nothing when started. Throws
    // OSCSocketError with the socket's error. Not from the socket's own queue.
    void start();
    // Closes the socket; sends are refused until the next start().
    void stop();

    // Throws OSCSocketError when not started or when no host is known (in
    // that order), the codec's OSCEncodeError when the packet does not
    // encode. The outcome of the send itself is not reported.
    void send(const osc::OSCPacket& packet, const std::optional<std::string>& host = std::nullopt,
              std::optional<std::uint16_t> port = std::nullopt);

    const std::shared_ptr<udp::DatagramSocket>& udpSocket() const noexcept { return udpSocket_; }

private:
    std::shared_ptr<udp::DatagramSocket> udpSocket_;
    std::shared_ptr<OSCServerUDPDelegate> udpDelegate_;
    mutable std::mutex remoteMutex_;
    std::optional<std::string> remoteHost_;
    std::optional<std::uint16_t> localPort_;
    std::optional<std::uint16_t> remotePort_;
    bool isIPv4BroadcastEnabled_;
    std::atomic<bool> isStarted_{false};
};

}  // namespace vorn::net
