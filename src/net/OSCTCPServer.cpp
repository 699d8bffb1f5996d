#include "net/OSCTCPServer.h"

#include "dispatch/ReadinessSource.h"
#include "net/OSCServerUDPDelegate.h"
#include "net/OSCSocketError.h"
#include "net/OSCTCPConnectionState.h"
#include "net/detail/TCPStream.h"
#include "osc/OSCBundle.h"
#include "udp/SocketAddress.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <map>
#include <utility>
#include <vector>

namespace vorn::net {

namespace {

constexpr int listenBacklog = 128;
// A port 0 server binds IPv4 first and takes the same port for IPv6; when
// another program holds that one for IPv6, it starts over a few times.
constexpr int portAttempts = 8;

struct Listener {
    std::shared_ptr<detail::OwnedDescriptor> descriptor;
    std::unique_ptr<dispatch::ReadinessSource> source;
};

}  // namespace

struct OSCTCPServer::Core : std::enable_shared_from_this<Core> {
    struct Connection {
        std::shared_ptr<detail::TCPStream> stream;
        std::string host;
        std::uint16_t port = 0;
        SharedBytes address;
    };

    std::shared_ptr<dispatch::SerialQueue> queue;
    std::shared_ptr<udp::SystemCalls> system;
    OSCFraming framing;
    std::shared_ptr<OSCServerUDPDelegate> decoder;
    // Set from any thread, read on the queue.
    std::atomic<std::size_t> maxConnections{defaultMaxConnections};
    std::atomic<std::size_t> maxFrameSize{OSCStreamDecoder::defaultMaxFrameSize};
    ConnectionHandler connectionHandler;
    std::vector<Listener> listeners;
    std::map<std::uint64_t, Connection> connections;
    std::uint64_t lastId = 0;

    void tell(const ConnectionEvent& event) const {
        if (connectionHandler) connectionHandler(event);
    }

    // One listening socket of `family` on `port`; its descriptor, or -1 and `error`.
    int listenOn(int family, std::uint16_t port, udp::SocketError& error) {
        const int fd = system->socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            error = udp::SocketError::posix(errno, "Error in socket() function");
            return -1;
        }
        const int on = 1;
        SharedBytes address = family == AF_INET ? udp::detail::ipv4Address(in_addr{htonl(INADDR_ANY)}, port)
                                                : udp::detail::ipv6Address(in6addr_any, port);
        const auto kernel = udp::detail::toKernel(address);
        const char* step = nullptr;
        // A restarted server must not wait for the old connections' TIME_WAIT.
        if (system->setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
            step = "Error enabling address reuse (setsockopt() function)";
        } else if (family == AF_INET6 && system->setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) {
            step = "Error disabling IPv4 on IPv6 socket (setsockopt() function)";
        } else if (system->bind(fd, kernel->get(), kernel->length) != 0) {
            step = "Error in bind() function";
        } else if (system->listen(fd, listenBacklog) != 0) {
            step = "Error in listen() function";
        }
        if (step != nullptr) {
            error = udp::SocketError::posix(errno, step);
            system->close(fd);
            return -1;
        }
        return fd;
    }

    std::uint16_t portOf(int fd) const {
        sockaddr_storage local{};
        socklen_t length = sizeof local;
        if (system->getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
        return udp::detail::portOf(udp::detail::fromKernel(reinterpret_cast<sockaddr*>(&local), length));
    }

    void watch(int fd) {
        Listener listener{std::make_shared<detail::OwnedDescriptor>(system, fd), nullptr};
        listener.source = std::make_unique<dispatch::ReadinessSource>(queue, fd, dispatch::ReadinessSource::Kind::read);
        listener.source->setCancelHandler([keep = listener.descriptor] {});
        listener.source->setEventHandler([weak = weak_from_this(), fd](std::size_t) {
            if (const auto self = weak.lock()) self->accept(fd);
        });
        listener.source->resume();
        listeners.push_back(std::move(listener));
    }

    // Both families on `port`; the port bound, or an error.
    std::uint16_t start(std::uint16_t port, udp::SocketError& error) {
        for (int attempt = 0; attempt < portAttempts; ++attempt) {
            const int fd4 = listenOn(AF_INET, port, error);
            if (fd4 < 0) return 0;
            const std::uint16_t bound = portOf(fd4);
            udp::SocketError error6;
            const int fd6 = listenOn(AF_INET6, bound, error6);
            if (fd6 < 0 && error6.code == EADDRINUSE && port == 0) {
                system->close(fd4);
                continue;
            }
            if (fd6 < 0 && error6.code != EAFNOSUPPORT && error6.code != EADDRNOTAVAIL) {
                system->close(fd4);
                error = error6;
                return 0;
            }
            watch(fd4);
            if (fd6 >= 0) watch(fd6);
            return bound;
        }
        return 0;
    }

    void stop() {
        for (auto& listener : listeners) listener.source->cancel();
        listeners.clear();
        auto closing = std::exchange(connections, {});
        for (auto& [id, connection] : closing) connection.stream->close();
    }

    void accept(int listenFD) {
        const auto self = shared_from_this();
        for (;;) {
            sockaddr_storage peer{};
            socklen_t length = sizeof peer;
            const int fd =
                system->accept4(listenFD, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd < 0) {
                // EAGAIN: all taken. Anything else (a peer gone before it was
                // taken, out of descriptors) waits for the next readiness.
                return;
            }
            auto owned = std::make_shared<detail::OwnedDescriptor>(system, fd);
            if (connections.size() >= maxConnections.load()) {
                continue;  // closed as `owned` goes
            }
            const int on = 1;
            system->setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            const auto address = udp::detail::fromKernel(reinterpret_cast<sockaddr*>(&peer), length);
            const auto id = ++lastId;
            Connection connection{nullptr, udp::detail::hostText(address), udp::detail::portOf(address), address};
            const std::weak_ptr<Core> weak = weak_from_this();
            connection.stream = detail::TCPStream::open(
                queue, std::move(owned), framing, {maxFrameSize.load(), detail::TCPStreamLimits{}.maxQueuedBytes},
                [weak, address](std::span<const std::uint8_t> packet) {
                    if (const auto core = weak.lock()) {
                        core->decoder->didReceiveData({}, SharedBytes::copy(packet), address, {});
                    }
                },
                [weak, id](const udp::SocketError& reason) {
                    if (const auto core = weak.lock()) core->closed(id, reason);
                });
            tell({connection.host, connection.port, true, std::nullopt});
            connections.emplace(id, std::move(connection));
        }
    }

    void closed(std::uint64_t id, const udp::SocketError& reason) {
        const auto found = connections.find(id);
        if (found == connections.end()) return;
        const ConnectionEvent event{found->second.host, found->second.port, false, reason};
        // Released in a later turn: the stream is inside its own callback.
        queue->async([stream = std::move(found->second.stream)] {});
        connections.erase(found);
        tell(event);
    }

    void send(const SharedBytes& data, const std::string& host, std::uint16_t port, const SendCompletion& completion) {
        for (auto& [id, connection] : connections) {
            if (connection.port == port && connection.host == host) {
                connection.stream->send(data.span(), completion);
                return;
            }
        }
        if (completion) completion(tcpError(OSCTCPErrorCode::notConnected, "Not connected"));
    }
};

std::shared_ptr<OSCTCPServer> OSCTCPServer::create(std::uint16_t port, OSCFraming framing,
                                                   OSCTimeTagMode timeTagMode,
                                                   std::shared_ptr<dispatch::SerialQueue> receiveQueue,
                                                   OSCMessageHandler handler,
                                                   std::shared_ptr<udp::SystemCalls> system) {
    auto server = std::make_shared<OSCTCPServer>(Key{}, port, framing, timeTagMode, std::move(receiveQueue),
                                                 std::move(handler), std::move(system));
    server->core_->decoder = std::make_shared<OSCServerUDPDelegate>(server);
    return server;
}

OSCTCPServer::OSCTCPServer(Key, std::uint16_t port, OSCFraming framing, OSCTimeTagMode timeTagMode,
                           std::shared_ptr<dispatch::SerialQueue> receiveQueue, OSCMessageHandler handler,
                           std::shared_ptr<udp::SystemCalls> system)
    : OSCReceiver(std::move(receiveQueue), receiveQueueLabel, timeTagMode, std::move(handler)),
      localPort_(port),
      core_(std::make_shared<Core>()) {
    core_->queue = this->receiveQueue();
    core_->system = system ? std::move(system) : udp::SystemCalls::standard();
    core_->framing = framing;
}

OSCTCPServer::~OSCTCPServer() {
    // The sockets and their sources belong to the queue; they go there. Done
    // before returning, and the connection handler let go of there too, so
    // that no event reaches whoever made the server once it is gone (a
    // connection closing in the meantime would otherwise still be told).
    receiveQueue()->sync([core = core_] {
        core->stop();
        core->connectionHandler = nullptr;
    });
}

void OSCTCPServer::start() {
    if (isStarted()) return;
    udp::SocketError error;
    const auto bound = receiveQueue()->syncResult([&] {
        core_->stop();
        return core_->start(localPort_, error);
    });
    if (bound == 0) {
        throw OSCSocketError(std::move(error));
    }
    boundPort_ = bound;
    isStarted_ = true;
}

void OSCTCPServer::stop() {
    receiveQueue()->sync([&] { core_->stop(); });
    boundPort_ = 0;
    isStarted_ = false;
}

void OSCTCPServer::setMaxConnections(std::size_t count) {
    core_->maxConnections = count;
}

void OSCTCPServer::setMaxFrameSize(std::size_t size) {
    core_->maxFrameSize = size;
}

void OSCTCPServer::setConnectionHandler(ConnectionHandler handler) {
    receiveQueue()->async([core = core_, handler = std::move(handler)]() mutable {
        core->connectionHandler = std::move(handler);
    });
}

std::size_t OSCTCPServer::connectionCount() const {
    return receiveQueue()->syncResult([this] { return core_->connections.size(); });
}

void OSCTCPServer::send(const osc::OSCPacket& packet, const std::string& host, std::uint16_t port,
                        SendCompletion completion) {
    receiveQueue()->async([core = core_, data = packet.rawData(), host, port, completion = std::move(completion)] {
        core->send(data, host, port, completion);
    });
}

void OSCTCPServer::send(const osc::OSCMessage& message, const std::string& host, std::uint16_t port,
                        SendCompletion completion) {
    receiveQueue()->async([core = core_, data = message.rawData(), host, port, completion = std::move(completion)] {
        core->send(data, host, port, completion);
    });
}

}  // namespace vorn::net
