#include "net/OSCTCPClient.h"

#include "dispatch/Published.h"
#include "dispatch/ReadinessSource.h"
#include "dispatch/TimerSource.h"
#include "net/OSCServerUDPDelegate.h"
#include "net/detail/TCPConnect.h"
#include "net/detail/TCPStream.h"
#include "osc/OSCBundle.h"
#include "udp/SocketAddress.h"

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace vorn::net {

namespace {

// The receiving side of a TCP client: it runs on the client's queue.
class TCPClientReceiver final : public OSCReceiver {
public:
    explicit TCPClientReceiver(std::shared_ptr<dispatch::SerialQueue> queue)
        : OSCReceiver(std::move(queue), {}, OSCTimeTagMode::ignore, nullptr) {}
};

}  // namespace

// Everything of one client, on its queue. Work that comes back later (a
// lookup, a readiness event, a timer) holds it weakly and checks that the
// attempt it belongs to is still the current one.
struct OSCTCPClient::Core : std::enable_shared_from_this<Core> {
    using State = OSCTCPConnectionState;

    Core(std::shared_ptr<dispatch::SerialQueue> q, Options o, std::shared_ptr<udp::SystemCalls> s)
        : queue(std::move(q)),
          options(o),
          system(s ? std::move(s) : udp::SystemCalls::standard()),
          receiver(std::make_shared<TCPClientReceiver>(queue)),
          decoder(std::make_shared<OSCServerUDPDelegate>(receiver)),
          retryTimer(queue),
          connectTimer(queue) {}

    std::shared_ptr<dispatch::SerialQueue> queue;
    const Options options;
    std::shared_ptr<udp::SystemCalls> system;
    std::shared_ptr<TCPClientReceiver> receiver;
    std::shared_ptr<OSCServerUDPDelegate> decoder;
    dispatch::Published<State> state{State{}};
    bool reconnect = options.reconnect;

    std::string host;
    std::uint16_t port = 0;
    bool wanted = false;
    std::uint64_t attempt = 0;
    int failures = 0;

    std::vector<SharedBytes> candidates;
    std::size_t next = 0;
    std::optional<udp::SocketError> lastError;
    std::shared_ptr<detail::OwnedDescriptor> connecting;
    std::unique_ptr<dispatch::ReadinessSource> connectWatch;
    SharedBytes peer;
    std::shared_ptr<detail::TCPStream> stream;
    std::uint16_t localPort = 0;

    dispatch::TimerSource retryTimer;
    dispatch::TimerSource connectTimer;

    void publish(State::Phase phase, std::optional<udp::SocketError> reason) {
        State now{phase, std::move(reason)};
        if (!(state.get() == now)) state = std::move(now);
    }

    // Ends whatever connection or attempt there is, quietly.
    void drop() {
        ++attempt;
        retryTimer.cancel();
        connectTimer.cancel();
        abandonAttempt();
        if (stream) {
            stream->close();
            stream.reset();
        }
        localPort = 0;
    }

    void abandonAttempt() {
        if (connectWatch) {
            connectWatch->cancel();
            connectWatch.reset();
        }
        connecting.reset();
    }

    void begin() {
        const auto current = attempt;
        publish(State::Phase::connecting, std::nullopt);
        detail::resolveTCP(system, host, port, [weak = weak_from_this(), current](detail::TCPResolution resolution) {
            const auto self = weak.lock();
            if (!self) return;
            self->queue->async([weak, current, resolution = std::move(resolution)]() mutable {
                const auto core = weak.lock();
                if (!core || core->attempt != current) return;
                if (resolution.error) {
                    core->failed(*resolution.error);
                    return;
                }
                core->candidates = std::move(resolution.addresses);
                core->next = 0;
                core->lastError.reset();
                core->tryNext();
            });
        });
    }

    void tryNext() {
        abandonAttempt();
        while (next < candidates.size()) {
            const auto address = candidates[next++];
            const auto kernel = udp::detail::toKernel(address);
            udp::SocketError error;
            const int fd = kernel ? detail::openTCPSocket(*system, kernel->storage.ss_family, error) : -1;
            if (fd < 0) {
                lastError = kernel ? error : udp::SocketError::badParam("Unusable address");
                continue;
            }
            auto owned = std::make_shared<detail::OwnedDescriptor>(system, fd);
            if (system->connect(fd, kernel->get(), kernel->length) == 0) {
                connected(std::move(owned), address);
                return;
            }
            if (errno != EINPROGRESS) {
                lastError = udp::SocketError::posix(errno, "Error in connect() function");
                continue;
            }
            watchConnect(std::move(owned), address);
            return;
        }
        failed(lastError.value_or(udp::SocketError::other("No address to connect to")));
    }

    void watchConnect(std::shared_ptr<detail::OwnedDescriptor> owned, const SharedBytes& address) {
        connecting = std::move(owned);
        connectWatch =
            std::make_unique<dispatch::ReadinessSource>(queue, connecting->fd, dispatch::ReadinessSource::Kind::write);
        connectWatch->setCancelHandler([keep = connecting] {});
        const auto current = attempt;
        connectWatch->setEventHandler([weak = weak_from_this(), current, address](std::size_t) {
            const auto self = weak.lock();
            if (!self || self->attempt != current || !self->connecting) return;
            int error = 0;
            socklen_t length = sizeof error;
            if (self->system->getsockopt(self->connecting->fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
                error = errno;
            }
            self->connectTimer.cancel();
            if (error != 0) {
                self->lastError = udp::SocketError::posix(error, "Error in connect() function");
                self->tryNext();
                return;
            }
            auto ready = std::exchange(self->connecting, nullptr);
            self->abandonAttempt();
            self->connected(std::move(ready), address);
        });
        connectWatch->resume();
        connectTimer.start(options.connectTimeout, [weak = weak_from_this(), current] {
            const auto self = weak.lock();
            if (!self || self->attempt != current) return;
            self->lastError = tcpError(OSCTCPErrorCode::connectTimeout, "Connection attempt timed out");
            self->tryNext();
        });
    }

    void connected(std::shared_ptr<detail::OwnedDescriptor> owned, const SharedBytes& address) {
        connectTimer.cancel();
        peer = address;
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        localPort = system->getsockname(owned->fd, reinterpret_cast<sockaddr*>(&local), &length) == 0
                        ? udp::detail::portOf(udp::detail::fromKernel(reinterpret_cast<sockaddr*>(&local), length))
                        : 0;
        const auto current = attempt;
        const std::weak_ptr<Core> weak = weak_from_this();
        stream = detail::TCPStream::open(
            queue, std::move(owned), options.framing, {options.maxFrameSize, options.maxQueuedBytes},
            [weak](std::span<const std::uint8_t> packet) {
                if (const auto self = weak.lock()) {
                    self->decoder->didReceiveData({}, SharedBytes::copy(packet), self->peer, {});
                }
            },
            [weak, current](const udp::SocketError& reason) {
                const auto self = weak.lock();
                if (!self || self->attempt != current) return;
                // Posted: the stream is still inside its own callback.
                self->queue->async([weak, current, reason] {
                    const auto core = weak.lock();
                    if (!core || core->attempt != current) return;
                    core->stream.reset();
                    core->localPort = 0;
                    core->failed(reason);
                });
            });
        failures = 0;
        publish(State::Phase::connected, std::nullopt);
    }

    void failed(const udp::SocketError& reason) {
        abandonAttempt();
        connectTimer.cancel();
        ++attempt;
        publish(State::Phase::disconnected, reason);
        if (!wanted || !reconnect) return;
        const auto delay = retryDelay(failures);
        failures += 1;
        const auto current = attempt;
        retryTimer.start(delay, [weak = weak_from_this(), current] {
            const auto self = weak.lock();
            if (self && self->attempt == current && self->wanted) self->begin();
        });
    }
};

std::chrono::seconds OSCTCPClient::retryDelay(int failures) {
    auto delay = firstRetryDelay;
    for (int i = 0; i < failures && delay < maxRetryDelay; ++i) delay *= 2;
    return std::min(delay, maxRetryDelay);
}

OSCTCPClient::OSCTCPClient(Options options, std::shared_ptr<udp::SystemCalls> system)
    : queue_(dispatch::SerialQueue::create(std::string(queueLabel))),
      core_(std::make_shared<Core>(queue_, options, std::move(system))) {}

OSCTCPClient::~OSCTCPClient() {
    // The core's timers and sources belong to the queue; they go there,
    // before this returns, so that nothing is read for whoever made the
    // client once it is gone.
    queue_->sync([core = core_] { core->drop(); });
}

void OSCTCPClient::connect(std::string host, std::uint16_t port) {
    queue_->async([core = core_, host = std::move(host), port]() mutable {
        core->drop();
        core->host = std::move(host);
        core->port = port;
        core->wanted = true;
        core->failures = 0;
        core->begin();
    });
}

void OSCTCPClient::disconnect() {
    queue_->async([core = core_] {
        core->wanted = false;
        core->drop();
        core->publish(OSCTCPConnectionState::Phase::disconnected, std::nullopt);
    });
}

void OSCTCPClient::setReconnect(bool flag) {
    queue_->async([core = core_, flag] { core->reconnect = flag; });
}

void OSCTCPClient::send(const osc::OSCPacket& packet, SendCompletion completion) {
    sendBytes(packet.rawData(), std::move(completion));
}

void OSCTCPClient::send(const osc::OSCMessage& message, SendCompletion completion) {
    sendBytes(message.rawData(), std::move(completion));
}

void OSCTCPClient::send(const osc::OSCBundle& bundle, SendCompletion completion) {
    sendBytes(bundle.rawData(), std::move(completion));
}

void OSCTCPClient::sendBytes(SharedBytes data, SendCompletion completion) {
    queue_->async([core = core_, data = std::move(data), completion = std::move(completion)]() mutable {
        if (!core->stream) {
            if (completion) completion(tcpError(OSCTCPErrorCode::notConnected, "Not connected"));
            return;
        }
        core->stream->send(data.span(), std::move(completion));
    });
}

void OSCTCPClient::setReceiveHandler(OSCMessageHandler handler) {
    core_->receiver->setHandler(std::move(handler));
}

dispatch::Cancellable OSCTCPClient::observeState(std::function<void(const OSCTCPConnectionState&)> observer) {
    return queue_->syncResult([&] { return core_->state.subscribe(std::move(observer)); });
}

OSCTCPConnectionState OSCTCPClient::state() const {
    return queue_->syncResult([this] { return core_->state.get(); });
}

std::uint16_t OSCTCPClient::localPort() const {
    return queue_->syncResult([this] { return core_->localPort; });
}

}  // namespace vorn::net
