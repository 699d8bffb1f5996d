#include "net/OSCClient.h"

#include "net/OSCSocketError.h"
#include "osc/OSCBundle.h"

#include <map>
#include <mutex>
#include <utility>
#include <vector>

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
        waiting_.emplace(tag, Waiting{std::move(completion), false});
        return tag;
    }

    // Socket queue, in the turn after the send with `tag` was queued there:
    // from now on a close drops it.
    void handedOver(std::int64_t tag) {
        std::lock_guard lock(mutex_);
        if (const auto found = waiting_.find(tag); found != waiting_.end()) {
            found->second.inSocket = true;
        }
    }

    void didSendData(const std::shared_ptr<udp::DatagramSocket>&, std::int64_t tag) override {
        finish(tag, std::nullopt);
    }

    void didNotSendData(const std::shared_ptr<udp::DatagramSocket>&, std::int64_t tag,
                        const udp::SocketError& error) override {
        finish(tag, error);
    }

    // A close drops the sends that the socket held without a word about
    // each: those still waiting here that had reached the socket. A send
    // handed over while the close was on its way is not among them; it opens
    // a fresh socket and is reported from there.
    void didClose(const std::shared_ptr<udp::DatagramSocket>&,
                  const std::optional<udp::SocketError>& error) override {
        std::vector<SendCompletion> dropped;
        {
            std::lock_guard lock(mutex_);
            for (auto it = waiting_.begin(); it != waiting_.end();) {
                if (it->second.inSocket) {
                    dropped.push_back(std::move(it->second.completion));
                    it = waiting_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        const auto failure = error.value_or(udp::SocketError::closed());
        for (auto& completion : dropped) {
            completion(failure);
        }
    }

    // The client is going away: nobody is left to care.
    void forgetAll() {
        std::map<std::int64_t, Waiting> forgotten;
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
            completion = std::move(found->second.completion);
            waiting_.erase(found);
        }
        // Outside the lock: the completion may send again through this client.
        completion(failure);
    }

    struct Waiting {
        SendCompletion completion;
        bool inSocket;
    };

    std::mutex mutex_;
    std::int64_t lastTag_ = 0;
    std::map<std::int64_t, Waiting> waiting_;
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
    if (tag != 0) {
        // Queued behind the send on the socket queue, and so behind any close
        // that was already being reported when it was made.
        const auto& queue = udpSocket_->socketQueue();
        if (queue->isCurrent()) {
            udpDelegate_->handedOver(tag);
        } else {
            queue->async([weak = std::weak_ptr(udpDelegate_), tag] {
                if (auto delegate = weak.lock()) {
                    delegate->handedOver(tag);
                }
            });
        }
    }
}

}  // namespace vorn::net
