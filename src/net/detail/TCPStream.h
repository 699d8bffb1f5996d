#pragma once

#include "base/SharedBytes.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/SerialQueue.h"
#include "net/OSCStreamFraming.h"
#include "udp/SocketError.h"
#include "udp/SystemCalls.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace vorn::net::detail {

// A descriptor that is closed, through the seam, when its last holder lets
// go: the stream and the cancel handlers of every readiness source on it, so
// that it is never closed while the queue still watches it.
struct OwnedDescriptor {
    OwnedDescriptor(std::shared_ptr<udp::SystemCalls> calls, int descriptor)
        : system(std::move(calls)), fd(descriptor) {}
    ~OwnedDescriptor() {
        if (fd >= 0) system->close(fd);
    }
    OwnedDescriptor(const OwnedDescriptor&) = delete;
    OwnedDescriptor& operator=(const OwnedDescriptor&) = delete;

    std::shared_ptr<udp::SystemCalls> system;
    int fd;
};

// What one stream may hold: the largest frame it reads, and the framed bytes
// that may wait for the peer to read them before further sends are refused.
struct TCPStreamLimits {
    std::size_t maxFrameSize = OSCStreamDecoder::defaultMaxFrameSize;
    std::size_t maxQueuedBytes = std::size_t{1} << 20;
};

// One connected TCP stream, read and written on its serial queue as the
// kernel says it is ready: received bytes go through the framing decoder to
// `onPacket`, sends wait framed in a bounded queue. Every member on the
// queue only; the handlers are called there, inline.
class TCPStream : public std::enable_shared_from_this<TCPStream> {
public:
    using PacketHandler = std::function<void(std::span<const std::uint8_t> packet)>;
    // Called once, when the stream ends by itself: the peer closed it, it
    // broke, or it sent a bad frame. Not called after close().
    using CloseHandler = std::function<void(const udp::SocketError& reason)>;
    using Completion = std::function<void(const std::optional<udp::SocketError>& failure)>;

    // Starts reading at once.
    static std::shared_ptr<TCPStream> open(std::shared_ptr<dispatch::SerialQueue> queue,
                                           std::shared_ptr<OwnedDescriptor> descriptor, OSCFraming framing,
                                           TCPStreamLimits limits, PacketHandler onPacket, CloseHandler onClose);
    ~TCPStream();

    TCPStream(const TCPStream&) = delete;
    TCPStream& operator=(const TCPStream&) = delete;

    // Frames `packet` and queues it. A refusal (the stream is closed, the
    // queue is full) is reported through `completion` at once; otherwise it
    // learns, later, that the kernel took the whole frame or why it never
    // will.
    void send(std::span<const std::uint8_t> packet, Completion completion);

    // Stops reading and writing and lets the descriptor go; what still
    // waits to be written is dropped and its completions told so.
    void close();

    bool isOpen() const noexcept { return descriptor_ != nullptr; }
    std::size_t queuedBytes() const noexcept { return queuedBytes_; }

    struct Key {};
    TCPStream(Key, std::shared_ptr<dispatch::SerialQueue> queue, std::shared_ptr<OwnedDescriptor> descriptor,
              OSCFraming framing, TCPStreamLimits limits, PacketHandler onPacket, CloseHandler onClose);

private:
    struct Pending {
        std::vector<std::uint8_t> frame;
        std::size_t written = 0;
        Completion completion;
    };

    void readable();
    void writable();
    void fail(const udp::SocketError& reason);
    void shut(const udp::SocketError& reason);

    std::shared_ptr<dispatch::SerialQueue> queue_;
    std::shared_ptr<OwnedDescriptor> descriptor_;
    std::unique_ptr<OSCStreamDecoder> decoder_;
    TCPStreamLimits limits_;
    PacketHandler onPacket_;
    CloseHandler onClose_;
    std::unique_ptr<dispatch::ReadinessSource> reader_;
    std::unique_ptr<dispatch::ReadinessSource> writer_;
    std::deque<Pending> pending_;
    std::size_t queuedBytes_ = 0;
};

}  // namespace vorn::net::detail
