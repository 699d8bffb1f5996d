#include "net/OSCClient.h"

#include "net/OSCServerUDPDelegate.h"
#include "net/OSCSocketError.h"
#include "osc/OSCBundle.h"

#include <map>
#include <mutex>
#include <utility>

namespace vorn::net {

// The client's socket delegate: matches each send outcome to the completion
// of the send that it concerns, by tag. Sends without a completion go out
// with tag 0 and are not waited for.
//
// It runs on the socket queue, so outcomes arrive in the order the socket
// reached them: a send reported done before a failure closed the socket is
// never taken for one of the sends that the close dropped.
//
// What arrives at the client's port goes on to the same decoder that a server
// uses, here on the socket queue too: its receiver runs there.
class OSCClientUDPDelegate final : public udp::DatagramSocketDelegate {
public:
    explicit OSCClientUDPDelegate(std::shared_ptr<OSCServerUDPDelegate> incoming) : incoming_(std::move(incoming)) {}
    // Received datagrams only while they are wanted; a client that only
    // sends stays as it was without receiving.
    bool implements(Callback callback) const override {
        return callback != Callback::didReceiveData || receiving.load();
    }

    // Whether received datagrams are wanted: then every send, once done,
    // makes sure the port it bound is read.
    std::atomic<bool> receiving{false};

    void didReceiveData(const std::shared_ptr<udp::DatagramSocket>& socket, const SharedBytes& data,
                        const SharedBytes& address, const std::any& filterContext) override {
        incoming_->didReceiveData(socket, data, address, filterContext);
    }

    // Any thread. The tag to send with.
    std::int64_t expect(SendCompletion completion) {
        std::lock_guard lock(mutex_);
        const auto tag = ++lastTag_;
        waiting_.emplace(tag, std::move(completion));
        return tag;
    }

    void didSendData(const std::shared_ptr<udp::DatagramSocket>& socket, std::int64_t tag) override {
        receiveIfWanted(*socket);
        finish(tag, std::nullopt);
    }

    void didNotSendData(const std::shared_ptr<udp::DatagramSocket>& socket, std::int64_t tag,
                        const udp::SocketError& error) override {
        receiveIfWanted(*socket);
        finish(tag, error);
    }

    // A close drops the sends that the socket still held without a word
    // about each; whatever still waits here was among them. (A send handed
    // over while the close is being reported would be counted with them,
    // although it opens a fresh socket and may go out.)
    void didClose(const std::shared_ptr<udp::DatagramSocket>&,
                  const std::optional<udp::SocketError>& error) override {
        std::map<std::int64_t, SendCompletion> dropped;
        {
            std::lock_guard lock(mutex_);
            dropped.swap(waiting_);
        }
        const auto failure = error.value_or(udp::SocketError::closed());
        for (auto& [tag, completion] : dropped) {
            completion(failure);
        }
    }

    // The client is going away: nobody is left to care.
    void forgetAll() {
        std::map<std::int64_t, SendCompletion> forgotten;
        std::lock_guard lock(mutex_);
        forgotten.swap(waiting_);
    }

private:
    // On the socket queue, where this runs inline. The socket binds at its
    // first send, so only now is there a port to read; after that this finds
    // it reading already. A socket that never bound refuses, and the next
    // send tries again.
    void receiveIfWanted(udp::DatagramSocket& socket) {
        if (receiving.load()) {
            socket.beginReceiving();
        }
    }

    void finish(std::int64_t tag, const std::optional<udp::SocketError>& failure) {
        SendCompletion completion;
        {
            std::lock_guard lock(mutex_);
            const auto found = waiting_.find(tag);
            if (found == waiting_.end()) {
                return;
            }
            completion = std::move(found->second);
            waiting_.erase(found);
        }
        // Outside the lock: the completion may send again through this client.
        completion(failure);
    }

    const std::shared_ptr<OSCServerUDPDelegate> incoming_;
    std::mutex mutex_;
    std::int64_t lastTag_ = 0;
    std::map<std::int64_t, SendCompletion> waiting_;
};

// The receiving side of a client: its queue is the client's socket queue, on
// which the client's delegate hands over what arrives.
class OSCClientReceiver final : public OSCReceiver {
public:
    explicit OSCClientReceiver(std::shared_ptr<dispatch::SerialQueue> queue)
        : OSCReceiver(std::move(queue), {}, OSCTimeTagMode::ignore, nullptr) {}
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

OSCClient::OSCClient() : OSCClient(nullptr) {}

OSCClient::OSCClient(std::shared_ptr<udp::SystemCalls> system)
    : udpSocket_(udp::DatagramSocket::create({}, nullptr, nullptr, std::move(system))),
      receiver_(std::make_shared<OSCClientReceiver>(udpSocket_->socketQueue())) {
    udpDelegate_ = std::make_shared<OSCClientUDPDelegate>(std::make_shared<OSCServerUDPDelegate>(receiver_));
    // The socket queue itself, for the order of the outcomes (see the
    // delegate), and for want of a thread per client just to report them.
    udpSocket_->setDelegate(udpDelegate_, udpSocket_->socketQueue());
}

OSCClient::OSCClient(std::uint16_t localPort, bool isPortReuseEnabled, bool isIPv4BroadcastEnabled) : OSCClient() {
    localPort_ = localPort;
    isPortReuseEnabled_ = isPortReuseEnabled;
    setIPv4BroadcastEnabled(isIPv4BroadcastEnabled);
}

OSCClient::~OSCClient() {
    // Before the close, which would otherwise report the sends it drops.
    udpDelegate_->forgetAll();
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
    if (udpDelegate_->receiving.load()) {
        throwIfFailed(udpSocket_->beginReceiving(&error), error);
    }
    isStarted_ = true;
}

void OSCClient::stop() {
    udpSocket_->close();
    isStarted_ = false;
}

void OSCClient::setReceiveHandler(OSCMessageHandler handler) {
    const bool wanted = static_cast<bool>(handler);
    // Queued on the socket queue, so it is in place before any datagram
    // that the reading below lets in.
    receiver_->setHandler(std::move(handler));
    udpDelegate_->receiving.store(wanted);
    if (!wanted) {
        udpSocket_->pauseReceiving();
    } else if (udpSocket_->localPort() != 0) {
        // Bound already: no send needs to come first. Refused only when the
        // socket closes meanwhile, and then the next send starts it.
        udpSocket_->beginReceiving();
    }
}

bool OSCClient::isReceiving() const noexcept {
    return udpDelegate_->receiving.load();
}

void OSCClient::send(const osc::OSCPacket& packet, const std::string& host, std::uint16_t port,
                     SendCompletion completion) {
    sendBytes(packet.rawData(), host, port, std::move(completion));
}

void OSCClient::send(const osc::OSCMessage& message, const std::string& host, std::uint16_t port,
                     SendCompletion completion) {
    sendBytes(message.rawData(), host, port, std::move(completion));
}

void OSCClient::send(const osc::OSCBundle& bundle, const std::string& host, std::uint16_t port,
                     SendCompletion completion) {
    sendBytes(bundle.rawData(), host, port, std::move(completion));
}

void OSCClient::sendBytes(SharedBytes data, const std::string& host, std::uint16_t port,
                          SendCompletion completion) {
    // The socket ignores an empty payload and would never report it; no
    // packet encodes to nothing, so there is nothing to wait for either.
    const std::int64_t tag = completion && !data.empty() ? udpDelegate_->expect(std::move(completion)) : 0;
    udpSocket_->sendData(std::move(data), host, port, sendTimeout, tag);
}

}  // namespace vorn::net
