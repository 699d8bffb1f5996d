#include "monitor/TCPLink.h"

#include "ascii/VisibleText.h"

#include <utility>

namespace vorn::monitor {

namespace {

// Spelled as UTF-8 bytes, as the monitor's other lines are.
constexpr std::string_view connectingPrefix = "\xF0\x9F\x94\x8C Connecting to ";  // electric plug
constexpr std::string_view connectedPrefix = "\xF0\x9F\x94\x97 Connected to ";    // link
constexpr std::string_view lostPrefix = "\xF0\x9F\x92\x94 Connection to ";       // broken heart

std::string endpointOf(const std::string& host, std::uint16_t port) {
    const std::string visibleHost = ascii::visibleText(host);
    if (visibleHost.find(':') != std::string::npos) {
        return "[" + visibleHost + "]:" + std::to_string(port);
    }
    return visibleHost + ":" + std::to_string(port);
}

}  // namespace

// What the log has said about the connection, on the main thread.
struct TCPLink::Lines {
    enum class Said { nothing, connecting, connected, lost };

    std::string endpoint;
    net::OSCFraming framing;
    LineSink sink;
    Said said = Said::nothing;

    void note(const net::OSCTCPConnectionState& state) {
        using Phase = net::OSCTCPConnectionState::Phase;
        if (state.phase == Phase::connecting && said == Said::nothing) {
            said = Said::connecting;
            sink("connecting", connectingLine(endpoint, framing));
        } else if (state.phase == Phase::connected && said != Said::connected) {
            said = Said::connected;
            sink("connected", connectedLine(endpoint));
        } else if (state.phase == Phase::disconnected && state.reason && said != Said::lost) {
            said = Said::lost;
            sink("connectionLost", lostLine(endpoint, state.reason->localizedDescription()));
        }
    }
};

std::string TCPLink::connectingLine(const std::string& endpoint, net::OSCFraming framing) {
    return std::string(connectingPrefix) + endpoint + " over TCP (" + std::string(net::framingName(framing)) + ")";
}

std::string TCPLink::connectedLine(const std::string& endpoint) {
    return std::string(connectedPrefix) + endpoint + " over TCP";
}

std::string TCPLink::lostLine(const std::string& endpoint, const std::string& reason) {
    return std::string(lostPrefix) + endpoint + " lost: " + reason;
}

TCPLink::TCPLink(dispatch::MainLoop& mainLoop, std::string host, std::uint16_t port, net::OSCFraming framing,
                 net::OSCMessageHandler handler, LineSink lines)
    : host_(std::move(host)),
      port_(port),
      framing_(framing),
      lines_(std::make_shared<Lines>(Lines{endpointOf(host_, port), framing, std::move(lines)})),
      client_(net::OSCTCPClientOptions{framing, true}) {
    client_.setReceiveHandler(std::move(handler));
    // The states come on the client's queue; the lines belong on the main
    // thread, and stop with this link.
    observation_ = client_.observeState(
        [&mainLoop, weak = std::weak_ptr<Lines>(lines_)](const net::OSCTCPConnectionState& state) {
            mainLoop.post([weak, state] {
                if (const auto lines = weak.lock()) lines->note(state);
            });
        });
    client_.connect(host_, port_);
}

TCPLink::~TCPLink() {
    observation_.cancel();
}

void TCPLink::send(const osc::OSCMessage& message, net::SendCompletion completion) {
    client_.send(message, std::move(completion));
}

}  // namespace vorn::monitor
