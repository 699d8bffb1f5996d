#include "tools/EchoPeer.h"

#include "ascii/VisibleText.h"
#include "osc/OSCMessage.h"

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
    // Consoles answer at once; holding a bundle dated ahead would only make
    // the monitor see a late reply.
    peer->server_ = net::OSCServer::create(
        peer->options_.listenPort, net::OSCTimeTagMode::ignore, nullptr,
        [weak = std::weak_ptr<EchoPeer>(peer)](const osc::OSCMessage& message, const osc::OSCTimeTag&,
                                               const std::string& host, std::uint16_t port) {
            if (auto self = weak.lock()) {
                self->handle(message, host, port);
            }
        });
    return peer;
}

EchoPeer::EchoPeer(Key, EchoOptions options, LineSink output)
    : options_(std::move(options)), output_(std::move(output)) {
    routes_.registerMethod(options_.ping);
}

EchoPeer::~EchoPeer() {
    if (server_) {
        server_->stop();
    }
}

void EchoPeer::start() {
    // A ping that arrives as soon as the port is bound waits here until the
    // listening line is out.
    std::lock_guard lock(outputMutex_);
    server_->start();
    output_("vorn-osc-echo listening on port " + std::to_string(server_->boundPort()));
}

void EchoPeer::stop() {
    server_->stop();
}

void EchoPeer::handle(const osc::OSCMessage& message, const std::string& host, std::uint16_t port) {
    std::lock_guard lock(outputMutex_);
    const auto address = message.addressPattern().rawAddress();
    const auto from = endpointText(host, port);
    if (routes_.methods(message.addressPattern()).empty()) {
        // The address is the sender's to choose: escaped, it stays on its line.
        output_("ignored \"" + ascii::visibleText(address) + "\" from " + from);
        return;
    }
    const auto to = endpointText(host, options_.replyPort);
    try {
        client_.send(osc::OSCMessage(options_.reply, message.values()), host, options_.replyPort);
    } catch (const std::exception& error) {
        output_("ping from " + from + " -> cannot reply \"" + options_.reply + "\" to " + to + ": " + error.what());
        return;
    }
    output_("ping from " + from + " -> reply \"" + options_.reply + "\" to " + to);
}

}  // namespace vorn::tools
