#include "net/OSCClient.h"

#include "dispatch/ConcurrentQueue.h"
#include "net/OSCSocketError.h"
#include "osc/OSCBundle.h"

#include <utility>

namespace vorn::net {

// The client's socket delegate. It wants no send outcome and no close notice,
// so the socket posts nothing to it at all.
class OSCClientUDPDelegate final : public udp::DatagramSocketDelegate {
public:
    bool implements(Callback) const override { return false; }
};

namespace {

// Long enough for a busy kernel buffer, short enough that a stuck send never
// piles up behind it.
constexpr double sendTimeout = 1.0;

void throwIfFailed(bool ok, udp::SocketError& error) {
    if (!ok) {
        throw OSCSocketError(std::move(error));
    }
}

}  // namespace

OSCClient::OSCClient()
    : udpSocket_(udp::DatagramSocket::create()), udpDelegate_(std::make_shared<OSCClientUDPDelegate>()) {
    udpSocket_->setDelegate(udpDelegate_, dispatch::globalQueue(dispatch::QualityOfService::standard));
}

OSCClient::OSCClient(std::uint16_t localPort, bool isPortReuseEnabled, bool isIPv4BroadcastEnabled) : OSCClient() {
    localPort_ = localPort;
    isPortReuseEnabled_ = isPortReuseEnabled;
    setIPv4BroadcastEnabled(isIPv4BroadcastEnabled);
}

OSCClient::~OSCClient() {
    udpSocket_->close();
    isStarted_ = false;
}

std::uint16_t OSCClient::localPort() const {
    return udpSocket_->localPort();
}

void OSCClient::setIPv4BroadcastEnabled(bool flag) {
    isIPv4BroadcastEnabled_ = flag;
    // start() applies it again and reports failure; here it is best effort.
    udpSocket_->enableBroadcast(flag);
}

void OSCClient::start() {
    if (isStarted()) {
        return;
    }
    // A fresh socket every time, so binding twice cannot happen.
    udpSocket_->close();
    isStarted_ = false;
    udp::SocketError error;
    throwIfFailed(udpSocket_->enableReusePort(isPortReuseEnabled_, &error), error);
    throwIfFailed(udpSocket_->enableBroadcast(isIPv4BroadcastEnabled_, &error), error);
    throwIfFailed(udpSocket_->bindToPort(localPort_.value_or(0), &error), error);
    isStarted_ = true;
}

void OSCClient::stop() {
    udpSocket_->close();
    isStarted_ = false;
}

void OSCClient::send(const osc::OSCPacket& packet, const std::string& host, std::uint16_t port) {
    sendBytes(packet.rawData(), host, port);
}

void OSCClient::send(const osc::OSCMessage& message, const std::string& host, std::uint16_t port) {
    sendBytes(message.rawData(), host, port);
}

void OSCClient::send(const osc::OSCBundle& bundle, const std::string& host, std::uint16_t port) {
    sendBytes(bundle.rawData(), host, port);
}

void OSCClient::sendBytes(SharedBytes data, const std::string& host, std::uint16_t port) {
    udpSocket_->sendData(std::move(data), host, port, sendTimeout, 0);
}

}  // namespace vorn::net
