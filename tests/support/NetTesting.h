#pragma once

#include "net/OSCReceiver.h"
#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "osc/OSCTimeTag.h"
#include "support/SocketTesting.h"

#include <chrono>
#include <string>
#include <vector>

// What the transport tests share: a handler that records, and wire bytes for
// the plain kernel sockets of udp::testing::Peer.
namespace vorn::net::testing {

using udp::testing::patience;
using udp::testing::Peer;

struct Delivery {
    osc::OSCMessage message;
    std::string address;
    osc::OSCTimeTag timeTag;
    std::string host;
    std::uint16_t port;
    std::chrono::steady_clock::time_point at;
};

// How a receiver's handler takes its messages.
enum class Reading { owned, inPlace };

inline const char* describe(Reading reading) { return reading == Reading::owned ? "owned" : "in place"; }

class Recorder : public dispatch::testing::Recorded<Delivery> {
public:
    // A view is recorded as an owned copy of what it read.
    OSCMessageHandler handler(Reading reading = Reading::owned) {
        if (reading == Reading::inPlace) {
            return [this](const osc::OSCMessageView& message, const osc::OSCTimeTag& timeTag, const std::string& host,
                          std::uint16_t port) {
                record(osc::OSCMessage(osc::OSCAddressPattern(message.address()), message.values()), timeTag, host,
                       port);
            };
        }
        return [this](const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag, const std::string& host,
                      std::uint16_t port) { record(message, timeTag, host, port); };
    }

    void record(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag, const std::string& host,
                std::uint16_t port) {
        add({message, std::string(message.addressPattern().rawAddress()), timeTag, host, port,
             std::chrono::steady_clock::now()});
    }

    std::vector<std::string> addresses() const {
        std::vector<std::string> result;
        for (const auto& delivery : waitFor(0)) result.push_back(delivery.address);
        return result;
    }
};

inline std::string wire(const osc::OSCPacket& packet) {
    return udp::testing::text(packet.rawData());
}

inline osc::OSCBundle bundleOf(std::vector<osc::OSCPacket> elements, osc::OSCTimeTag timeTag) {
    return osc::OSCBundle(std::move(elements), timeTag);
}

}  // namespace vorn::net::testing
