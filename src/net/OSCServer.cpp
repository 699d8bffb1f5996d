#include "net/OSCServer.h"

#include "net/OSCServerUDPDelegate.h"
#include "net/OSCSocketError.h"

#include <utility>

namespace vorn::net {

std::shared_ptr<OSCServer> OSCServer::create(std::uint16_t port, OSCTimeTagMode timeTagMode,
                                             std::shared_ptr<dispatch::SerialQueue> receiveQueue,
                                             OSCMessageHandler handler) {
    auto server = std::make_shared<OSCServer>(Key{}, port, timeTagMode, std::move(receiveQueue), std::move(handler));
    server->udpDelegate_ = std::make_shared<OSCServerUDPDelegate>(server);
    server->udpSocket_ = udp::DatagramSocket::create(server->udpDelegate_, server->receiveQueue());
    return server;
}

OSCServer::OSCServer(Key, std::uint16_t port, OSCTimeTagMode timeTagMode,
                     std::shared_ptr<dispatch::SerialQueue> receiveQueue, OSCMessageHandler handler)
    : OSCReceiver(std::move(receiveQueue), receiveQueueLabel, timeTagMode, std::move(handler)), localPort_(port) {}

OSCServer::~OSCServer() {
    // Someone else may still hold the socket; the port is ours to give back.
    udpSocket_->close();
}

void OSCServer::start() {
    if (isStarted()) {
        return;
    }
    udpSocket_->close();
    isStarted_ = false;
    udp::SocketError error;
    if (!udpSocket_->bindToPort(localPort_, &error) || !udpSocket_->beginReceiving(&error)) {
        throw OSCSocketError(std::move(error));
    }
    isStarted_ = true;
}

void OSCServer::stop() {
    udpSocket_->close();
    isStarted_ = false;
}

std::uint16_t OSCServer::boundPort() const {
    return udpSocket_->localPort();
}

}  // namespace vorn::net
