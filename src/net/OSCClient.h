#pragma once

#include "net/OSCReceiver.h"
#include "udp/DatagramSocket.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vorn::udp {
class SystemCalls;
}

namespace vorn::osc {
class OSCMessage;
class OSCBundle;
class OSCPacket;
}  // namespace vorn::osc

namespace vorn::net {

class OSCClientUDPDelegate;
class OSCClientReceiver;

// What became of one send: no error once the kernel took the datagram, else
// why it never left (the resolver's failure, a send error, the time-out, or
// the socket closing first). Called once, on the client's socket queue, so it
// must be quick: hand the news on, don't work there.
using SendCompletion = std::function<void(const std::optional<udp::SocketError>& failure)>;

// Sends OSC packets as UDP datagrams to any host and port without waiting.
//
// A client that is never started still sends: the socket binds an ephemeral
// port at the first send and keeps it, so each client has a source port of
// its own. start() binds the configured port up front instead.
//
// It can also hear what comes back to its own port (setReceiveHandler()):
// many peers answer whoever sent to them rather than a port of their own
// configuration.
//
// Sends may come from any thread; start(), stop() and the setters of one
// client are the caller's to serialise.
class OSCClient {
public:
    OSCClient();
    // `system` replaces the socket's system calls (tests fail them on purpose).
    explicit OSCClient(std::shared_ptr<udp::SystemCalls> system);
    OSCClient(std::uint16_t localPort, bool isPortReuseEnabled, bool isIPv4BroadcastEnabled);
    // Closes the socket.
    ~OSCClient();

    OSCClient(const OSCClient&) = delete;
    OSCClient& operator=(const OSCClient&) = delete;

    // The port actually bound, 0 while nothing is.
    std::uint16_t localPort() const;

    // Applies at the next start().
    bool isPortReuseEnabled() const noexcept { return isPortReuseEnabled_; }
    void setPortReuseEnabled(bool flag) noexcept { isPortReuseEnabled_ = flag; }

    // Applies at once where the socket is open, and at every start().
    bool isIPv4BroadcastEnabled() const noexcept { return isIPv4BroadcastEnabled_; }
    void setIPv4BroadcastEnabled(bool flag);

    bool isStarted() const noexcept { return isStarted_.load(std::memory_order_relaxed); }

    // Binds the configured port (an ephemeral one without) on both address
    // families; does nothing when started. Throws OSCSocketError with the
    // socket's error, e.g. the bind error of a port in use.
    void start();
    // Closes the socket; the next start() or send opens a new one.
    void stop();

    // Encodes on the calling thread and hands the datagram over without
    // waiting. Throws only the codec's OSCEncodeError, and then sends nothing
    // and never calls `completion`. What becomes of the datagram afterwards
    // (an unknown host, a send error) reaches `completion` when one is given;
    // a client destroyed first drops the completions still waiting.
    void send(const osc::OSCPacket& packet, const std::string& host, std::uint16_t port,
              SendCompletion completion = {});
    void send(const osc::OSCMessage& message, const std::string& host, std::uint16_t port,
              SendCompletion completion = {});
    void send(const osc::OSCBundle& bundle, const std::string& host, std::uint16_t port,
              SendCompletion completion = {});

    // Receiving on the client's own port, off until a handler is given. From
    // then on, once the port is bound (by start(), or by the first send
    // after any close), every message that arrives there goes to `handler`
    // on the client's socket queue, decoded and unpacked as an OSCServer does
    // (bundles at once, whatever their time tag), with the sender's host and
    // port. What waits for the handler is bounded by the socket's receive
    // backlog. Null stops receiving; the port stays bound.
    void setReceiveHandler(OSCMessageHandler handler);
    bool isReceiving() const noexcept;

    const std::shared_ptr<udp::DatagramSocket>& udpSocket() const noexcept { return udpSocket_; }

private:
    void sendBytes(SharedBytes data, const std::string& host, std::uint16_t port, SendCompletion completion);

    std::shared_ptr<udp::DatagramSocket> udpSocket_;
    std::shared_ptr<OSCClientUDPDelegate> udpDelegate_;
    std::shared_ptr<OSCClientReceiver> receiver_;
    std::optional<std::uint16_t> localPort_;
    bool isPortReuseEnabled_ = false;
    bool isIPv4BroadcastEnabled_ = false;
    std::atomic<bool> isStarted_{false};
};

}  // namespace vorn::net
