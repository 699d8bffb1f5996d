#include "net/OSCSocket.h"

#include "net/OSCServerUDPDelegate.h"
#include "net/OSCSocketError.h"
#include "osc/OSCBundle.h"

#include <utility>

namespace vorn::net {

namespace {

constexpr double sendTimeout = 1.0;

OSCSocketError closedError(std::string_view reason) {
    auto error = udp::SocketError::closed();
    error.userInfo["Reason"] = std::string(reason);
    return OSCSocketError(std::move(error));
}

}  // namespace

std::shared_ptr<OSCSocket> OSCSocket::create(std::optional<std::uint16_t> localPort,
                                             std::optional<std::string> remoteHost,
                                             std::optional<std::uint16_t> remotePort, OSCTimeTagMode timeTagMode,
                                             bool isIPv4BroadcastEnabled,
                                             std::shared_ptr<dispatch::SerialQueue> receiveQueue,
                                             OSCMessageHandler handler) {
    auto socket = std::make_shared<OSCSocket>(Key{}, localPort, std::move(remoteHost), remotePort, timeTagMode,
                                              isIPv4BroadcastEnabled, std::move(receiveQueue), std::move(handler));
    socket->udpDelegate_ = std::make_shared<OSCServerUDPDelegate>(socket);
    socket->udpSocket_ = udp::DatagramSocket::create(socket->udpDelegate_, socket->receiveQueue());
    return socket;
}

OSCSocket::OSCSocket(Key, std::optional<std::uint16_t> localPort, std::optional<std::string> remoteHost,
                     std::optional<std::uint16_t> remotePort, OSCTimeTagMode timeTagMode,
                     bool isIPv4BroadcastEnabled, std::shared_ptr<dispatch::SerialQueue> receiveQueue,
                     OSCMessageHandler handler)
    : OSCReceiver(std::move(receiveQueue), receiveQueueLabel, timeTagMode, std::move(handler)),
      remoteHost_(std::move(remoteHost)),
      localPort_(localPort),
      remotePort_(remotePort),
      isIPv4BroadcastEnabled_(isIPv4BroadcastEnabled) {}

OSCSocket::~OSCSocket() {
    udpSocket_->close();
}

std::uint16_t OSCSocket::localPort() const {
    return udpSocket_->localPort();
}

std::uint16_t OSCSocket::remotePort() const {
    {
        std::lock_guard lock(remoteMutex_);
        if (remotePort_) {
            return *remotePort_;
        }
    }
    return localPort();
}

void OSCSocket::setRemotePort(std::optional<std::uint16_t> port) {
    std::lock_guard lock(remoteMutex_);
    remotePort_ = port;
}

std::optional<std::string> OSCSocket::remoteHost() const {
    std::lock_guard lock(remoteMutex_);
    return remoteHost_;
}

void OSCSocket::setRemoteHost(std::optional<std::string> host) {
    std::lock_guard lock(remoteMutex_);
    remoteHost_ = std::move(host);
}

void OSCSocket::start() {
    if (isStarted()) {
        return;
    }
    udp::SocketError error;
    if (!udpSocket_->enableBroadcast(isIPv4BroadcastEnabled_, &error) ||
        !udpSocket_->bindToPort(localPort_.value_or(0), &error) || !udpSocket_->beginReceiving(&error)) {
        throw OSCSocketError(std::move(error));
    }
    isStarted_ = true;
}

void OSCSocket::stop() {
    udpSocket_->close();
    isStarted_ = false;
}

void OSCSocket::send(const osc::OSCPacket& packet, const std::optional<std::string>& host,
                     std::optional<std::uint16_t> port) {
    if (!isStarted()) {
        throw closedError(notStartedReason);
    }
    auto destination = host ? host : remoteHost();
    if (!destination) {
        throw closedError(noRemoteHostReason);
    }
    auto data = packet.rawData();
    udpSocket_->sendData(std::move(data), std::move(*destination), port ? *port : remotePort(), sendTimeout, 0);
}

}  // namespace vorn::net
