#pragma once

#include "base/SharedBytes.h"
#include "dispatch/Queue.h"
#include "dispatch/SerialQueue.h"
#include "udp/SocketError.h"

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::udp {

class DatagramSocket;
class SystemCalls;

// Receives what a DatagramSocket reports, on the socket's delegate queue.
// Every callback is optional: override `implements` to say which ones a
// delegate has, and the socket skips posting the others.
class DatagramSocketDelegate {
public:
    enum class Callback : unsigned {
        didSendData = 1u << 0,
        didNotSendData = 1u << 1,
        didReceiveData = 1u << 2,
        didClose = 1u << 3,
    };

    virtual ~DatagramSocketDelegate() = default;

    virtual bool implements(Callback) const { return true; }

    virtual void didSendData(const std::shared_ptr<DatagramSocket>& socket, std::int64_t tag);
    virtual void didNotSendData(const std::shared_ptr<DatagramSocket>& socket, std::int64_t tag,
                                const SocketError& error);
    // `address` is the sender's socket address in the system's layout
    // (sockaddr_in or sockaddr_in6 bytes); `filterContext` is what a receive
    // filter attached, empty without one.
    virtual void didReceiveData(const std::shared_ptr<DatagramSocket>& socket, const SharedBytes& data,
                                const SharedBytes& address, const std::any& filterContext);
    // The descriptors were closed; no error for a requested close.
    virtual void didClose(const std::shared_ptr<DatagramSocket>& socket, const std::optional<SocketError>& error);
};

// Decides about one received datagram: true delivers it, false drops it. It
// may attach a context object that the delegate receives with the datagram.
using ReceiveFilter = std::function<bool(const SharedBytes& data, const SharedBytes& address, std::any& context)>;
// Decides about one send: true sends it, false skips it (and reports it sent).
// A filter that throws fails the send: didNotSendData, with what it threw.
using SendFilter = std::function<bool(const SharedBytes& data, const SharedBytes& address, std::int64_t tag)>;

// How much that was received may wait for the delegate, or for an
// asynchronous receive filter, before the socket stops reading: datagrams,
// and their bytes. Past either, what comes stays in the kernel's buffer, and
// when that is full the kernel drops, as for any receiver that falls behind;
// reading resumes once half of the backlog has been handled.
struct ReceiveBacklogLimit {
    std::size_t datagrams = 4096;
    std::size_t bytes = std::size_t{4} << 20;
};

// An asynchronous UDP endpoint with one IPv4 and one IPv6 descriptor bound to
// the same port.
//
// All state lives on the socket queue, a serial queue of the socket's own (or
// one given at construction). Operations that return a result wait for that
// queue, or run inline when called on it; the others post their work and
// return at once. Outcomes and received datagrams go to the delegate on the
// delegate queue. Nothing here throws: operations return false and fill
// `error`, or report through the delegate.
//
// Hold it in a std::shared_ptr (create()). Destroying it closes it, from any
// thread, also from inside one of its own delegate callbacks.
class DatagramSocket : public std::enable_shared_from_this<DatagramSocket> {
    struct Key {};

public:
    static constexpr std::uint16_t defaultMaxReceiveSize = 65535;

    // `socketQueue` must be serial; without one the socket makes its own,
    // labelled "DatagramSocket". `system` replaces the system calls in tests.
    static std::shared_ptr<DatagramSocket> create(std::weak_ptr<DatagramSocketDelegate> delegate = {},
                                                  std::shared_ptr<dispatch::Queue> delegateQueue = nullptr,
                                                  std::shared_ptr<dispatch::SerialQueue> socketQueue = nullptr,
                                                  std::shared_ptr<SystemCalls> system = nullptr);

    DatagramSocket(Key, std::weak_ptr<DatagramSocketDelegate> delegate, std::shared_ptr<dispatch::Queue> delegateQueue,
                   std::shared_ptr<dispatch::SerialQueue> socketQueue, std::shared_ptr<SystemCalls> system);
    ~DatagramSocket();

    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    // Delegate. The plain setters apply asynchronously, the synchronous ones
    // wait; both apply at once on the socket queue.
    std::weak_ptr<DatagramSocketDelegate> delegate() const;
    void setDelegate(std::weak_ptr<DatagramSocketDelegate> delegate);
    void synchronouslySetDelegate(std::weak_ptr<DatagramSocketDelegate> delegate);
    std::shared_ptr<dispatch::Queue> delegateQueue() const;
    void setDelegateQueue(std::shared_ptr<dispatch::Queue> queue);
    void synchronouslySetDelegateQueue(std::shared_ptr<dispatch::Queue> queue);
    void setDelegate(std::weak_ptr<DatagramSocketDelegate> delegate, std::shared_ptr<dispatch::Queue> queue);
    void synchronouslySetDelegate(std::weak_ptr<DatagramSocketDelegate> delegate,
                                  std::shared_ptr<dispatch::Queue> queue);

    // Configuration. Family switches and the buffer size apply to
    // descriptors created afterwards; receive sizes to reads made afterwards.
    bool isIPv4Enabled() const;
    void setIPv4Enabled(bool flag);
    bool isIPv6Enabled() const;
    void setIPv6Enabled(bool flag);
    bool isIPv4Preferred() const;
    bool isIPv6Preferred() const;
    bool isIPVersionNeutral() const;
    void setPreferIPv4();
    void setPreferIPv6();
    void setIPVersionNeutral();
    std::uint16_t maxReceiveIPv4BufferSize() const;
    void setMaxReceiveIPv4BufferSize(std::uint16_t size);
    std::uint32_t maxReceiveIPv6BufferSize() const;
    void setMaxReceiveIPv6BufferSize(std::uint32_t size);
    std::uint16_t maxSendBufferSize() const;
    void setMaxSendBufferSize(std::uint16_t size);
    std::any userData() const;
    void setUserData(std::any data);

    // Options, binding, closing.
    bool enableReusePort(bool flag, SocketError* error = nullptr);
    bool enableBroadcast(bool flag, SocketError* error = nullptr);
    bool bindToPort(std::uint16_t port, SocketError* error = nullptr);
    // `interface`: a name ("eth0"), a numeric address, "localhost"/"loopback",
    // or none for every interface.
    bool bindToPort(std::uint16_t port, const std::optional<std::string>& interface, SocketError* error = nullptr);
    bool bindToAddress(const SharedBytes& address, SocketError* error = nullptr);
    void close();
    void closeAfterSending();

    // Sending. Each call returns at once; the outcome reaches the delegate as
    // didSendData or didNotSendData with `tag`. A negative timeout waits for
    // buffer space without limit. An empty payload is ignored.
    //
    // A send that the kernel refuses fails alone, and the queue goes on: the
    // refusals of one datagram or destination (too large, no route, broadcast
    // not enabled, port 0, a firewall, no buffer memory, and any other) leave
    // the socket as it is. Only errors that say the descriptor itself is
    // unusable (EBADF, ENOTSOCK, EOPNOTSUPP, ENOTCONN, EISCONN, EDESTADDRREQ,
    // EPIPE) close it, after reporting the send.
    void sendData(SharedBytes data, std::string host, std::uint16_t port, double timeout, std::int64_t tag);
    void sendData(SharedBytes data, SharedBytes address, double timeout, std::int64_t tag);
    void setSendFilter(SendFilter filter, std::shared_ptr<dispatch::Queue> queue, bool isAsynchronous = true);

    // Receiving.
    bool beginReceiving(SocketError* error = nullptr);
    bool receiveOnce(SocketError* error = nullptr);
    void pauseReceiving();
    void setReceiveFilter(ReceiveFilter filter, std::shared_ptr<dispatch::Queue> queue, bool isAsynchronous = true);
    // Any thread; applies at once.
    ReceiveBacklogLimit receiveBacklogLimit() const;
    void setReceiveBacklogLimit(ReceiveBacklogLimit limit);

    // Queries (they wait for the socket queue).
    SharedBytes localAddress() const;
    std::string localHost() const;
    std::uint16_t localPort() const;
    SharedBytes localAddress_IPv4() const;
    std::string localHost_IPv4() const;
    std::uint16_t localPort_IPv4() const;
    SharedBytes localAddress_IPv6() const;
    std::string localHost_IPv6() const;
    std::uint16_t localPort_IPv6() const;
    bool isClosed() const;
    bool isIPv4() const;
    bool isIPv6() const;
    // The descriptors, on the socket queue only; -1 elsewhere.
    int socketFD() const;
    int socket4FD() const;
    int socket6FD() const;
    // Runs `block` on the socket queue and waits.
    void performBlock(const std::function<void()>& block);
    const std::shared_ptr<dispatch::SerialQueue>& socketQueue() const noexcept;

    // Socket addresses (sockaddr_in / sockaddr_in6 bytes).
    static bool getHost(std::string* host, std::uint16_t* port, int* family, const SharedBytes& address);
    static bool getHost(std::string* host, std::uint16_t* port, const SharedBytes& address);
    static std::string hostFromAddress(const SharedBytes& address);
    static std::uint16_t portFromAddress(const SharedBytes& address);
    static int familyFromAddress(const SharedBytes& address);
    static bool isIPv4Address(const SharedBytes& address);
    static bool isIPv6Address(const SharedBytes& address);

private:
    struct State;

    // Runs `fn` on the state on the socket queue and returns what it returns:
    // waits for the queue, or runs at once when already on it. For queries
    // and for the changes a caller must see done.
    template <class Fn>
    auto onSocketQueue(Fn fn) const;
    // Applies `change` to the state on the socket queue: at once when already
    // there, else later without waiting.
    void laterOnSocketQueue(std::function<void(State&)> change);

    std::shared_ptr<State> state_;
};

}  // namespace vorn::udp
