#pragma once

#include "net/OSCReceiver.h"
#include "udp/DatagramSocket.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace vorn::osc {
class OSCPacket;
}

namespace vorn::net {

// The socket delegate of OSCServer and OSCSocket: decodes each datagram on the
// receive queue, unpacks bundles and hands the messages to the receiver's
// handler, at once or, in mode osc1_0, at the moment a bundle names.
//
// It keeps the count and size of what is held back, so it belongs to one
// receiver for its whole life.
class OSCServerUDPDelegate final : public udp::DatagramSocketDelegate,
                                   public std::enable_shared_from_this<OSCServerUDPDelegate> {
public:
    explicit OSCServerUDPDelegate(std::weak_ptr<OSCReceiver> oscServer);

    bool implements(Callback callback) const override { return callback == Callback::didReceiveData; }
    void didReceiveData(const std::shared_ptr<udp::DatagramSocket>& socket, const SharedBytes& data,
                        const SharedBytes& address, const std::any& filterContext) override;

    // Bundles held back right now, and the bytes of the datagrams that hold
    // them. On the receive queue only.
    std::size_t heldBundles() const noexcept { return heldBundles_; }
    std::size_t heldBytes() const noexcept { return heldBytes_; }

private:
    struct Held;
    struct Walk;

    void hold(OSCReceiver& receiver, Held held, const std::string& host, std::uint16_t port,
              std::size_t datagramSize);

    std::weak_ptr<OSCReceiver> oscServer_;
    std::size_t heldBundles_ = 0;
    std::size_t heldBytes_ = 0;
};

}  // namespace vorn::net
