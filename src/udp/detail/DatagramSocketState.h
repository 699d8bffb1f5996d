#pragma once

// The socket's state and the steps that work on it, shared by the files that
// implement DatagramSocket. Private to the socket layer. Everything here runs
// on the socket queue unless it says otherwise.

#include "dispatch/ReadinessSource.h"
#include "dispatch/TimerSource.h"
#include "udp/DatagramSocket.h"
#include "udp/SystemCalls.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::udp {

// One queued send.
struct SendPacket {
    SendPacket(SharedBytes data, double timeout, std::int64_t tag)
        : buffer(std::move(data)), timeout(timeout), tag(tag) {}

    SharedBytes buffer;
    double timeout;
    std::int64_t tag;
    bool resolveInProgress = false;
    bool filterInProgress = false;
    std::vector<SharedBytes> resolvedAddresses;
    std::optional<SocketError> resolveError;
    SharedBytes address;
    int addressFamily = 0;
};

// What a name lookup produced: addresses in the resolver's order, or an error.
struct Resolution {
    std::vector<SharedBytes> addresses;
    std::optional<SocketError> error;
};

// What was received and is not yet handled: on its way to the delegate, or
// in an asynchronous receive filter and back. Bounded by the socket's
// ReceiveBacklogLimit: when full, the socket stops reading and this posts the
// next drain once half has been handled. The tasks that carry datagrams hold
// their part as a BacklogShare and may outlive the socket. Any thread.
class ReceiveBacklog {
public:
    // `wake` posts the next drain to the socket queue; any thread.
    explicit ReceiveBacklog(std::function<void()> wake) : wake_(std::move(wake)) {}

    ReceiveBacklogLimit limit() const;
    void setLimit(ReceiveBacklogLimit limit);
    // One datagram read.
    void add(std::size_t bytes);
    // True, and the socket is to be woken later, when nothing more may be
    // read now. On the socket queue.
    bool stallIfFull();
    void release(std::size_t datagrams, std::size_t bytes);
    // How many datagrams of up to `largest` bytes each fit before the limit,
    // at most `wanted`, at least one. On the socket queue, after stallIfFull.
    std::size_t room(std::size_t wanted, std::size_t largest) const;

private:
    bool full() const { return datagrams_ >= limit_.datagrams || bytes_ >= limit_.bytes; }
    bool halfEmpty() const { return datagrams_ <= limit_.datagrams / 2 && bytes_ <= limit_.bytes / 2; }

    mutable std::mutex mutex_;
    ReceiveBacklogLimit limit_;
    std::size_t datagrams_ = 0;
    std::size_t bytes_ = 0;
    // The socket stopped reading and waits to be woken.
    bool stalled_ = false;
    const std::function<void()> wake_;
};

// A part of the backlog, given back when the last task that carries it is
// gone, whether it ran or its queue dropped it.
struct BacklogShare {
    BacklogShare(std::shared_ptr<ReceiveBacklog> backlog, std::size_t datagrams, std::size_t bytes)
        : backlog(std::move(backlog)), datagrams(datagrams), bytes(bytes) {}
    ~BacklogShare() { backlog->release(datagrams, bytes); }
    BacklogShare(const BacklogShare&) = delete;
    BacklogShare& operator=(const BacklogShare&) = delete;

    const std::shared_ptr<ReceiveBacklog> backlog;
    const std::size_t datagrams;
    const std::size_t bytes;
};

// A filter's verdict, or why there is none.
struct FilterAnswer {
    bool allowed = false;
    // What the filter threw, or that its queue dropped the call.
    std::optional<std::string> failure;
};

// One descriptor of one address family and what hangs off it.
struct Endpoint {
    explicit Endpoint(int family) : family(family) {}

    bool exists() const { return fd >= 0; }

    const int family;
    int fd = -1;
    std::unique_ptr<dispatch::ReadinessSource> sendSource;
    std::unique_ptr<dispatch::ReadinessSource> receiveSource;
    // A read event said a datagram waits, and no read has found the
    // descriptor empty since. The read source stays suspended meanwhile:
    // until the reads run dry, more events would say nothing new.
    bool hasData = false;
    // The descriptor was last reported writable.
    bool canAcceptBytes = false;
    // socket() said this host has no such family.
    bool unsupported = false;
    SharedBytes cachedAddress;
    std::string cachedHost;
    std::uint16_t cachedPort = 0;
};

struct DatagramSocket::State : std::enable_shared_from_this<State> {
    enum Flag : std::uint32_t {
        didCreateSockets = 0x1,
        didBind = 0x2,
        receiveOnceFlag = 0x10,
        receiveContinuous = 0x20,
        ipv4Deactivated = 0x40,
        ipv6Deactivated = 0x80,
        closeAfterSends = 0x8000,
        flipFlop = 0x10000,  // the last datagram came from IPv6
    };
    enum Config : std::uint16_t {
        ipv4Disabled = 0x1,
        ipv6Disabled = 0x2,
        preferIPv4 = 0x4,
        preferIPv6 = 0x8,
    };

    State(std::shared_ptr<dispatch::SerialQueue> socketQueue, std::shared_ptr<SystemCalls> systemCalls);

    // Declared first so that it is released last.
    const std::shared_ptr<dispatch::SerialQueue> queue;
    const std::shared_ptr<SystemCalls> system;
    // The socket that callbacks name; set once by create().
    std::weak_ptr<DatagramSocket> owner;

    std::weak_ptr<DatagramSocketDelegate> delegate;
    std::shared_ptr<dispatch::Queue> delegateQueue;
    ReceiveFilter receiveFilter;
    std::shared_ptr<dispatch::Queue> receiveFilterQueue;
    bool receiveFilterAsync = true;
    SendFilter sendFilter;
    std::shared_ptr<dispatch::Queue> sendFilterQueue;
    bool sendFilterAsync = true;

    std::uint32_t flags = 0;
    std::uint16_t config = 0;
    std::uint16_t max4ReceiveSize = defaultMaxReceiveSize;
    std::uint32_t max6ReceiveSize = defaultMaxReceiveSize;
    std::uint16_t maxSendSize = 65535;

    Endpoint ipv4{AF_INET};
    Endpoint ipv6{AF_INET6};

    dispatch::TimerSource sendTimer;
    std::shared_ptr<SendPacket> currentSend;
    std::deque<std::shared_ptr<SendPacket>> sendQueue;
    bool dequeueing = false;

    // Datagrams of the current drain, handed to the delegate queue together
    // so that a burst wakes its thread once rather than once per datagram.
    struct Received {
        SharedBytes data;
        SharedBytes address;
    };
    std::vector<Received> received;
    // Where datagrams land before they are copied out at their exact size,
    // so that a read need not ask first how large the next one is. A batch
    // read uses one slot of the receive limit per datagram.
    std::vector<std::uint8_t> scratch;
    // The headers, buffers and senders of a batch read, kept from one read
    // to the next so that a batch allocates nothing but what it delivers.
    std::vector<mmsghdr> batchHeaders;
    std::vector<iovec> batchBuffers;
    std::vector<sockaddr_storage> batchSenders;
    // The sender of the last datagram, shared by the ones after it from the
    // same sender (the usual case: one peer streaming).
    SharedBytes lastSender;
    // A drain that used up its turn has posted its continuation.
    bool drainPosted = false;

    // Set once by the socket's constructor.
    std::shared_ptr<ReceiveBacklog> backlog;
    std::uint64_t pendingFilterOperations = 0;
    // Counts closes, so that an answer from a receive filter that was asked
    // before the last close is recognised and dropped.
    std::uint64_t closeCount = 0;
    std::any userData;

    bool has(Flag flag) const { return (flags & flag) != 0; }
    bool has(Config bit) const { return (config & bit) != 0; }
    Endpoint& endpoint(int family) { return family == AF_INET ? ipv4 : ipv6; }
    void setConfig(Config bit, bool on) { config = on ? config | bit : config & ~bit; }
    // Whether `endpoint`'s family is in use: once there are descriptors,
    // whether it has one; before, whether it is enabled.
    bool usesFamily(const Endpoint& endpoint, Config disabled) const {
        return has(didCreateSockets) ? endpoint.exists() : !has(disabled);
    }
    // The previous delegate queue is retired (see retire()).
    void setDelegateQueue(std::shared_ptr<dispatch::Queue> queue) {
        retire(std::exchange(delegateQueue, std::move(queue)));
    }

    // Delegate callbacks, posted to the delegate queue when there is a
    // delegate that implements them.
    void notifyDidSend(std::int64_t tag);
    void notifyDidNotSend(std::int64_t tag, const SocketError& error);
    void notifyDidReceive(const SharedBytes& data, const SharedBytes& address, std::any context,
                          std::shared_ptr<BacklogShare> share);
    // Hands the datagrams in `received` over, in order, in one task.
    void flushReceived();
    void notifyDidClose(const std::optional<SocketError>& error);
    bool wants(DatagramSocketDelegate::Callback callback) const;
    template <class Call>
    void notify(DatagramSocketDelegate::Callback callback, Call call);

    // Descriptors, options, binding, closing.
    std::optional<SocketError> preOp() const;
    std::optional<SocketError> preBind() const;
    std::optional<SocketError> preOption();
    std::optional<SocketError> createSockets();
    std::optional<SocketError> createSockets(bool useIPv4, bool useIPv6);
    std::optional<SocketError> openDescriptor(Endpoint& endpoint);
    std::optional<SocketError> setUpBufferSize(int fd, int option, const char* failure);
    std::optional<SocketError> setUpSources(Endpoint& endpoint);
    void closeSockets();
    void closeWithError(std::optional<SocketError> error);
    std::optional<SocketError> enableReusePort(bool flag, bool& result);
    std::optional<SocketError> enableBroadcast(bool flag, bool& result);
    std::optional<SocketError> bindToPort(std::uint16_t port, const std::optional<std::string>& interface);
    std::optional<SocketError> bindToAddress(const SharedBytes& address);
    std::optional<SocketError> bindAddresses(std::optional<SharedBytes> address4, std::optional<SharedBytes> address6);
    void interfaceAddresses(const std::string& interface, std::uint16_t port, std::optional<SharedBytes>& address4,
                            std::optional<SharedBytes>& address6) const;
    Endpoint& localEndpoint();
    // `endpoint`, its bound address cached once there is one.
    const Endpoint& withLocalCache(Endpoint& endpoint);

    // Sending.
    static void resolve(const std::shared_ptr<State>& state, const std::shared_ptr<SendPacket>& packet,
                        const std::string& host, std::uint16_t port);
    static Resolution lookUp(SystemCalls& system, const std::string& host, std::uint16_t port);
    void didResolve(const std::shared_ptr<SendPacket>& packet, Resolution resolution);
    void enqueueSend(std::shared_ptr<SendPacket> packet);
    void maybeDequeueSend();
    void doPreSend();
    std::optional<SocketError> chooseAddress(const std::vector<SharedBytes>& addresses, SendPacket& packet) const;
    std::optional<SocketError> checkGivenAddress(SendPacket& packet) const;
    void sendFilterAnswered(const std::shared_ptr<SendPacket>& packet, const FilterAnswer& answer);
    void doSend();
    void onWritable(Endpoint& endpoint);
    void startSendTimer(double timeout);
    void onSendTimeout();
    void endCurrentSend();
    void finishCurrentSend(const std::optional<SocketError>& error);
    void closeAfterSending();
    void suspendWritableSources();

    // Receiving.
    std::optional<SocketError> startReceiving(Flag mode);
    void pauseReceiving();
    void onReadable(Endpoint& endpoint, std::size_t estimate);
    void discardEmptyDatagram(Endpoint& endpoint);
    void doReceive();
    enum class Step { again, done };
    // `read` counts what the step took from the descriptors.
    Step receiveStep(int& read);
    bool readsInBatches(const Endpoint& source) const;
    Step receiveBatch(Endpoint& source, int& read);
    enum class Read { datagram, empty, drained, failed };
    Read readDatagram(Endpoint& source, SharedBytes& data, SharedBytes& address, int& error);
    SharedBytes senderAddress(const sockaddr_storage& sender, socklen_t length);
    enum class Delivery { delivered, ignored, pending };
    Delivery deliver(const SharedBytes& data, const SharedBytes& address);
    void receiveFilterAnswered(std::uint64_t closeCountAsked, bool allowed, const SharedBytes& data,
                               const SharedBytes& address, std::any context, std::shared_ptr<BacklogShare> share);
    void suspendReadSourcesHoldingData();
    void resumeIdleReadSources();

    // Runs `block` on the socket queue: at once when already there, else
    // later.
    void post(std::function<void(State&)> block);

    // Lets go of a queue that the socket no longer uses, away from the socket
    // queue: the last reference to a serial queue waits for that queue's
    // thread, which may be waiting for the socket queue (a delegate callback
    // that sets a new delegate queue, or drops the socket).
    static void retire(std::shared_ptr<dispatch::Queue> queue);
    // Lets go of the delegate and of every queue but the socket queue.
    void forgetPartners();
};

template <class Fn>
auto DatagramSocket::onSocketQueue(Fn fn) const {
    return state_->queue->syncResult([&] { return fn(*state_); });
}

namespace detail {

// The result of an operation that fills an error out-parameter on failure.
inline bool succeeded(const std::optional<SocketError>& failure, SocketError* error) {
    if (failure && error != nullptr) {
        *error = *failure;
    }
    return !failure;
}

// For misuse that no caller can recover from, such as a filter without a
// queue to run it on: says what was wrong and stops the program.
[[noreturn]] void stopOnProgrammingError(const char* message);

}  // namespace detail

// Runs `decide` here, catching what it throws.
template <class Decide>
FilterAnswer askFilter(Decide& decide) {
    try {
        return {static_cast<bool>(decide()), std::nullopt};
    } catch (const std::exception& failure) {
        return {false, std::string(failure.what())};
    } catch (...) {
        return {false, std::string("an unknown exception")};
    }
}

// Runs `decide` on `queue` and waits for its answer; at once when `queue` is
// the socket queue itself. A queue that drops the call, or a call that
// throws, answers with a failure and not allowed: a filter that cannot
// decide lets nothing through.
template <class Decide>
FilterAnswer askAndWait(const std::shared_ptr<dispatch::Queue>& queue, const dispatch::SerialQueue& socketQueue,
                        Decide decide) {
    if (queue.get() == static_cast<const dispatch::Queue*>(&socketQueue)) {
        return askFilter(decide);
    }
    // Only the task holds the promise, so a queue that destroys the task
    // unrun breaks the promise instead of leaving us waiting for ever.
    auto answer = std::make_shared<std::promise<FilterAnswer>>();
    auto answered = answer->get_future();
    queue->async([answer = std::move(answer), decide = std::move(decide)]() mutable {
        answer->set_value(askFilter(decide));
    });
    try {
        return answered.get();
    } catch (const std::future_error&) {
        return {false, std::string("its queue dropped the call")};
    }
}

}  // namespace vorn::udp
