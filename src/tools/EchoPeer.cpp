#include "tools/EchoPeer.h"

#include "ascii/VisibleText.h"
#include "osc/OSCMessage.h"

#include <chrono>
#include <exception>
#include <utility>

namespace vorn::tools {

std::string endpointText(const std::string& host, std::uint16_t port) {
    const auto portText = std::to_string(port);
    if (host.find(':') != std::string::npos) {
        return "[" + host + "]:" + portText;
    }
    return host + ":" + portText;
}

std::shared_ptr<EchoPeer> EchoPeer::create(EchoOptions options, LineSink output) {
    auto peer = std::make_shared<EchoPeer>(Key{}, std::move(options), std::move(output));
    const std::weak_ptr<EchoPeer> weak = peer;
    auto handler = [weak](const osc::OSCMessage& message, const osc::OSCTimeTag&, const std::string& host,
                          std::uint16_t port) {
        if (auto self = weak.lock()) {
            self->handle(message, host, port);
        }
    };
    // Consoles answer at once; holding a bundle dated ahead would only make
    // the monitor see a late reply.
    if (peer->options_.tcp) {
        peer->tcpServer_ = net::OSCTCPServer::create(peer->options_.listenPort, *peer->options_.tcp,
                                                     net::OSCTimeTagMode::ignore, nullptr, std::move(handler));
        peer->tcpServer_->setConnectionHandler([weak](const net::OSCTCPServer::ConnectionEvent& event) {
            if (auto self = weak.lock()) {
                self->connectionEvent(event);
            }
        });
    } else {
        peer->server_ =
            net::OSCServer::create(peer->options_.listenPort, net::OSCTimeTagMode::ignore, nullptr, std::move(handler));
    }
    return peer;
}

struct EchoPeer::Delayed {
    std::chrono::steady_clock::time_point due;
    osc::OSCMessage message;
    std::string host;
    std::uint16_t port;
};

EchoPeer::EchoPeer(Key, EchoOptions options, LineSink output)
    : options_(std::move(options)), output_(std::move(output)) {
    routes_.registerMethod(options_.ping);
}

EchoPeer::~EchoPeer() {
    stopBeating();
    stopDelaying();
    if (server_) {
        server_->stop();
    }
    if (tcpServer_) {
        tcpServer_->stop();
    }
}

void EchoPeer::start() {
    // A ping that arrives as soon as the port is bound waits here until the
    // listening line is out.
    std::lock_guard lock(outputMutex_);
    if (tcpServer_) {
        tcpServer_->start();
        output_("vorn-osc-echo listening on TCP port " + std::to_string(tcpServer_->boundPort()) + " (" +
                std::string(net::framingName(*options_.tcp)) + ")");
        return;
    }
    server_->start();
    output_("vorn-osc-echo listening on port " + std::to_string(server_->boundPort()));
    if (options_.heartbeat && !beatThread_.joinable()) {
        beating_ = true;
        beatThread_ = std::thread([this] { beat(); });
    }
    if (options_.delayMs > 0 && !delayThread_.joinable()) {
        delaying_ = true;
        delayThread_ = std::thread([this] { answerLate(); });
    }
}

void EchoPeer::stop() {
    stopBeating();
    stopDelaying();
    if (tcpServer_) {
        tcpServer_->stop();
    } else {
        server_->stop();
    }
}

void EchoPeer::connectionEvent(const net::OSCTCPServer::ConnectionEvent& event) {
    std::lock_guard lock(outputMutex_);
    const auto from = endpointText(event.host, event.port);
    if (event.opened) {
        output_("connection from " + from);
    } else {
        output_("connection from " + from + " closed: " + (event.reason ? event.reason->localizedDescription() : ""));
    }
}

void EchoPeer::stopBeating() {
    {
        std::lock_guard lock(beatMutex_);
        beating_ = false;
    }
    beatWake_.notify_all();
    if (beatThread_.joinable()) {
        beatThread_.join();
    }
}

void EchoPeer::beat() {
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(*options_.heartbeat));
    const auto to = endpointText(options_.heartbeatHost, options_.replyPort);
    auto next = std::chrono::steady_clock::now();
    std::unique_lock beatLock(beatMutex_);
    while (beating_) {
        beatLock.unlock();
        {
            std::lock_guard lock(outputMutex_);
            try {
                client_.send(osc::OSCMessage(options_.reply), options_.heartbeatHost, options_.replyPort);
                output_("heartbeat \"" + options_.reply + "\" to " + to);
            } catch (const std::exception& error) {
                output_("heartbeat \"" + options_.reply + "\" to " + to + " failed: " + error.what());
            }
        }
        // On a fixed grid, so that the period holds however long a send took.
        next += period;
        beatLock.lock();
        beatWake_.wait_until(beatLock, next, [this] { return !beating_; });
    }
}

void EchoPeer::handle(const osc::OSCMessage& message, const std::string& host, std::uint16_t port) {
    std::lock_guard lock(outputMutex_);
    const auto address = message.addressPattern().rawAddress();
    const auto from = endpointText(host, port);
    if (options_.heartbeat || routes_.methods(message.addressPattern()).empty()) {
        // The address is the sender's to choose: escaped, it stays on its line.
        output_("ignored \"" + ascii::visibleText(address) + "\" from " + from);
        return;
    }
    ++pings_;
    if (options_.dropEvery > 0 && pings_ % options_.dropEvery == 0) {
        output_("ping from " + from + " -> dropped (every " + std::to_string(options_.dropEvery) + ")");
        return;
    }
    if (options_.delayMs > 0) {
        sendLater(message, host, port);
        return;
    }
    reply(message, host, port);
}

// Under outputMutex_.
void EchoPeer::reply(const osc::OSCMessage& message, const std::string& host, std::uint16_t port) {
    const auto from = endpointText(host, port);
    const std::string late = options_.delayMs > 0 ? " after " + std::to_string(options_.delayMs) + " ms" : "";
    if (tcpServer_) {
        try {
            tcpServer_->send(osc::OSCMessage(options_.reply, message.values()), host, port);
        } catch (const std::exception& error) {
            output_("ping from " + from + " -> cannot reply \"" + options_.reply + "\": " + error.what());
            return;
        }
        output_("ping from " + from + " -> reply \"" + options_.reply + "\" over the connection" + late);
        return;
    }
    const auto replyPort = options_.replyToSender ? port : options_.replyPort;
    const auto to = endpointText(host, replyPort);
    try {
        client_.send(osc::OSCMessage(options_.reply, message.values()), host, replyPort);
    } catch (const std::exception& error) {
        output_("ping from " + from + " -> cannot reply \"" + options_.reply + "\" to " + to + ": " + error.what());
        return;
    }
    output_("ping from " + from + " -> reply \"" + options_.reply + "\" to " + to + late);
}

// Under outputMutex_.
void EchoPeer::sendLater(const osc::OSCMessage& message, const std::string& host, std::uint16_t port) {
    {
        std::lock_guard lock(delayMutex_);
        if (delayed_.size() < maxDelayed) {
            delayed_.push_back({std::chrono::steady_clock::now() + std::chrono::milliseconds(options_.delayMs),
                                message, host, port});
            delayWake_.notify_all();
            return;
        }
    }
    output_("ping from " + endpointText(host, port) + " -> dropped (" + std::to_string(maxDelayed) +
            " answers already waiting)");
}

void EchoPeer::answerLate() {
    std::unique_lock lock(delayMutex_);
    while (delaying_) {
        if (delayed_.empty()) {
            delayWake_.wait(lock, [this] { return !delaying_ || !delayed_.empty(); });
            continue;
        }
        if (delayWake_.wait_until(lock, delayed_.front().due, [this] { return !delaying_; })) {
            break;
        }
        if (std::chrono::steady_clock::now() < delayed_.front().due) {
            continue;
        }
        Delayed next = std::move(delayed_.front());
        delayed_.pop_front();
        lock.unlock();
        {
            std::lock_guard output(outputMutex_);
            reply(next.message, next.host, next.port);
        }
        lock.lock();
    }
}

void EchoPeer::stopDelaying() {
    {
        std::lock_guard lock(delayMutex_);
        delaying_ = false;
        delayed_.clear();
    }
    delayWake_.notify_all();
    if (delayThread_.joinable()) {
        delayThread_.join();
    }
}

}  // namespace vorn::tools
