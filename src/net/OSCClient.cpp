#include "net/OSCClient.h"

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
class OSCClientUDPDelegate final : public udp::DatagramSocketDelegate {
public:
    bool implements(Callback callback) const override { return callback != Callback::didReceiveData; }

    // Any thread. The tag to send with.
    std::int64_t expect(SendCompletion completion) {
        std::lock_guard lock(mutex_);
        const auto tag = ++lastTag_;
        waiting_.emplace(tag, std::move(completion));
        return tag;
    }

    void didSendData(const std::shared_ptr<udp::DatagramSocket>&, std::int64_t tag) override {
        finish(tag, std::nullopt);
    }

    void didNotSendData(const std::shared_ptr<udp::DatagramSocket>&, std::int64_t tag,
                        const udp::SocketError& error) override {
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

    std::mutex mutex_;
    std::int64_t lastTag_ = 0;
    std::map<std::int64_t, SendCompletion> waiting_;
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
      udpDelegate_(std::make_shared<OSCClientUDPDelegate>()) {
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
    isStarted_ = true;
}

void OSCClient::stop() {
    udpSocket_->close();
    isStarted_ = false;
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
