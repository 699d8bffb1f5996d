#pragma once

#include "base/SharedBytes.h"
#include "dispatch/Cancellable.h"
#include "dispatch/SerialQueue.h"
#include "net/OSCClient.h"
#include "net/OSCReceiver.h"
#include "net/OSCStreamFraming.h"
#include "net/OSCTCPConnectionState.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace vorn::udp {
class SystemCalls;
}

namespace vorn::net {

// How an OSCTCPClient behaves; see there.
struct OSCTCPClientOptions {
    OSCFraming framing = OSCFraming::lengthPrefixed;
    bool reconnect = false;
    // The largest packet taken from the peer; a larger one is a bad
    // frame, which closes the connection.
    std::size_t maxFrameSize = OSCStreamDecoder::defaultMaxFrameSize;
    std::size_t maxQueuedBytes = std::size_t{1} << 20;
    // An address that neither accepts nor refuses is given up after this
    // long, and the next one is tried.
    std::chrono::milliseconds connectTimeout{5000};
};

// OSC over one TCP connection: packets go out framed, and what the peer
// sends back on the same connection goes to the receive handler, decoded and
// unpacked as an OSCServer does (bundles at once, whatever their time tag),
// with the peer's numeric host and port.
//
// connect() resolves the host off the client's queue (IPv4 and IPv6, in the
// resolver's order, each address tried in turn) and connects without waiting;
// the connection state is published as it changes. With reconnection on, a
// connection that fails or drops is tried again after 1 s, then 2, 4, ...
// up to 30 s between attempts, until one succeeds or disconnect() is called.
//
// Everything runs on the client's serial queue, which waits in the kernel
// while the connection is idle. What waits to be sent is bounded
// (`maxQueuedBytes`): a peer that stops reading makes sends fail with
// "Send queue full", each reported to its completion, rather than memory
// grow. Any member may be called from any thread.
class OSCTCPClient {
public:
    using Options = OSCTCPClientOptions;

    static constexpr std::chrono::seconds firstRetryDelay{1};
    static constexpr std::chrono::seconds maxRetryDelay{30};
    // The wait before the attempt that follows `failures` failed ones.
    static std::chrono::seconds retryDelay(int failures);

    static constexpr std::string_view queueLabel = "com.vorn.osc.OSCTCPClient.queue";

    // `system` replaces the system calls (tests fail them on purpose).
    OSCTCPClient() : OSCTCPClient(Options{}) {}
    explicit OSCTCPClient(Options options, std::shared_ptr<udp::SystemCalls> system = nullptr);
    // Closes the connection; completions still waiting are dropped.
    ~OSCTCPClient();

    OSCTCPClient(const OSCTCPClient&) = delete;
    OSCTCPClient& operator=(const OSCTCPClient&) = delete;

    // Connects to `host` and `port`, after closing any connection or attempt
    // under way. Returns at once; the state tells the rest.
    void connect(std::string host, std::uint16_t port);
    // Closes the connection and stops reconnecting; the state becomes
    // disconnected without a reason.
    void disconnect();
    void setReconnect(bool flag);

    // Encodes on the calling thread (throws only the codec's OSCEncodeError,
    // and then sends nothing) and queues the frame. `completion` learns on
    // the client's queue that the kernel took the whole frame, or why it
    // never will: not connected, the send queue full, the connection lost.
    void send(const osc::OSCPacket& packet, SendCompletion completion = {});
    void send(const osc::OSCMessage& message, SendCompletion completion = {});
    void send(const osc::OSCBundle& bundle, SendCompletion completion = {});

    // Every message that arrives, on the client's queue; null drops them.
    void setReceiveHandler(OSCMessageHandler handler);

    // Calls `observer` on the client's queue with the state now and with
    // every change, until the handle is cancelled or destroyed.
    [[nodiscard]] dispatch::Cancellable observeState(std::function<void(const OSCTCPConnectionState&)> observer);
    // Waits for the client's queue.
    OSCTCPConnectionState state() const;
    // The local port of the connection, 0 while there is none.
    std::uint16_t localPort() const;

    const std::shared_ptr<dispatch::SerialQueue>& queue() const noexcept { return queue_; }

private:
    struct Core;

    void sendBytes(SharedBytes data, SendCompletion completion);

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::shared_ptr<Core> core_;
};

}  // namespace vorn::net
