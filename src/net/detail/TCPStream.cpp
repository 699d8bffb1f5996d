#include "net/detail/TCPStream.h"

#include "net/OSCTCPConnectionState.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

namespace vorn::net {

udp::SocketError tcpError(OSCTCPErrorCode code, std::string description) {
    udp::SocketError error;
    error.domain = std::string(OSCTCPErrorDomain);
    error.code = static_cast<int>(code);
    error.description = std::move(description);
    return error;
}

}  // namespace vorn::net

namespace vorn::net::detail {

namespace {

// Read in pieces of this size; a few per turn of the queue, so that one busy
// peer cannot keep the others on the same queue waiting.
constexpr std::size_t readChunk = 64 * 1024;
constexpr int readsPerTurn = 4;

std::unique_ptr<dispatch::ReadinessSource> watch(const std::shared_ptr<dispatch::SerialQueue>& queue,
                                                 const std::shared_ptr<OwnedDescriptor>& descriptor,
                                                 dispatch::ReadinessSource::Kind kind) {
    auto source = std::make_unique<dispatch::ReadinessSource>(queue, descriptor->fd, kind);
    // The descriptor stays open until the queue has let go of this source.
    source->setCancelHandler([descriptor] {});
    return source;
}

}  // namespace

std::shared_ptr<TCPStream> TCPStream::open(std::shared_ptr<dispatch::SerialQueue> queue,
                                           std::shared_ptr<OwnedDescriptor> descriptor, OSCFraming framing,
                                           TCPStreamLimits limits, PacketHandler onPacket, CloseHandler onClose) {
    auto stream = std::make_shared<TCPStream>(Key{}, std::move(queue), std::move(descriptor), framing, limits,
                                              std::move(onPacket), std::move(onClose));
    const std::weak_ptr<TCPStream> weak = stream;
    stream->reader_ = watch(stream->queue_, stream->descriptor_, dispatch::ReadinessSource::Kind::read);
    stream->reader_->setEventHandler([weak](std::size_t) {
        if (const auto self = weak.lock()) self->readable();
    });
    stream->writer_ = watch(stream->queue_, stream->descriptor_, dispatch::ReadinessSource::Kind::write);
    stream->writer_->setEventHandler([weak](std::size_t) {
        if (const auto self = weak.lock()) self->writable();
    });
    stream->reader_->resume();
    return stream;
}

TCPStream::TCPStream(Key, std::shared_ptr<dispatch::SerialQueue> queue, std::shared_ptr<OwnedDescriptor> descriptor,
                     OSCFraming framing, TCPStreamLimits limits, PacketHandler onPacket, CloseHandler onClose)
    : queue_(std::move(queue)),
      descriptor_(std::move(descriptor)),
      decoder_(OSCStreamDecoder::make(framing, limits.maxFrameSize)),
      limits_(limits),
      onPacket_(std::move(onPacket)),
      onClose_(std::move(onClose)) {}

TCPStream::~TCPStream() {
    onClose_ = nullptr;
    close();
}

void TCPStream::send(std::span<const std::uint8_t> packet, Completion completion) {
    if (!isOpen()) {
        if (completion) completion(tcpError(OSCTCPErrorCode::notConnected, "Not connected"));
        return;
    }
    auto frame = decoder_->frame(packet);
    // One frame always fits an empty queue, however large; past that a peer
    // that stops reading makes sends fail rather than memory grow.
    if (!pending_.empty() && queuedBytes_ + frame.size() > limits_.maxQueuedBytes) {
        if (completion) {
            completion(tcpError(OSCTCPErrorCode::sendQueueFull, "Send queue full: " + std::to_string(queuedBytes_) +
                                                                    " bytes wait for the peer to read"));
        }
        return;
    }
    queuedBytes_ += frame.size();
    pending_.push_back({std::move(frame), 0, std::move(completion)});
    if (pending_.size() == 1) {
        writer_->resume();
    }
}

void TCPStream::close() {
    shut(udp::SocketError::closed());
}

void TCPStream::fail(const udp::SocketError& reason) {
    auto onClose = std::exchange(onClose_, nullptr);
    shut(reason);
    if (onClose) onClose(reason);
}

void TCPStream::shut(const udp::SocketError& reason) {
    if (!descriptor_) {
        return;
    }
    reader_->cancel();
    writer_->cancel();
    descriptor_.reset();
    auto dropped = std::exchange(pending_, {});
    queuedBytes_ = 0;
    for (auto& pending : dropped) {
        if (pending.completion) pending.completion(reason);
    }
}

void TCPStream::readable() {
    const auto self = shared_from_this();
    std::uint8_t buffer[readChunk];
    for (int turn = 0; turn < readsPerTurn && isOpen(); ++turn) {
        const auto got = descriptor_->system->recv(descriptor_->fd, buffer, sizeof buffer, 0);
        if (got == 0) {
            fail(tcpError(OSCTCPErrorCode::closedByPeer, "Connection closed by the peer"));
            return;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                fail(udp::SocketError::posix(errno, "Error in recv() function"));
            }
            return;
        }
        try {
            decoder_->feed(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(got)),
                           [this](std::span<const std::uint8_t> packet) {
                               // The handler may close the stream; the rest of
                               // this read then has nowhere to go.
                               if (isOpen() && onPacket_) onPacket_(packet);
                           });
        } catch (const OSCFramingError& error) {
            fail(tcpError(OSCTCPErrorCode::badFrame, error.what()));
            return;
        }
        if (static_cast<std::size_t>(got) < sizeof buffer) {
            return;
        }
    }
}

void TCPStream::writable() {
    const auto self = shared_from_this();
    while (isOpen() && !pending_.empty()) {
        auto& front = pending_.front();
        const auto left = front.frame.size() - front.written;
        const auto sent =
            descriptor_->system->send(descriptor_->fd, front.frame.data() + front.written, left, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                fail(udp::SocketError::posix(errno, "Error in send() function"));
            }
            return;
        }
        front.written += static_cast<std::size_t>(sent);
        if (front.written < front.frame.size()) {
            continue;
        }
        auto done = std::move(front);
        pending_.pop_front();
        queuedBytes_ -= done.frame.size();
        if (done.completion) done.completion(std::nullopt);
    }
    if (isOpen() && pending_.empty()) {
        writer_->suspend();
    }
}

}  // namespace vorn::net::detail
