#pragma once

#include "net/OSCReceiver.h"
#include "udp/DatagramSocket.h"

#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <string>

namespace vorn::dispatch {
class TimerSource;
}

namespace vorn::net {

// The socket delegate of OSCServer and OSCSocket: decodes each datagram on the
// receive queue, unpacks bundles and hands the messages to the receiver's
// handler, at once or, in mode osc1_0, at the moment a bundle names.
//
// What waits for its moment is kept as the datagram's bytes and decoded again
// when due: decoded, a datagram of many small arguments takes tens of times
// its size, and the hold-back limit counts datagram bytes. It keeps the count
// and size of what is held back, so it belongs to one receiver for its whole
// life, and releasing it releases everything held, whatever queue the receiver
// runs on.
class OSCServerUDPDelegate final : public udp::DatagramSocketDelegate,
                                   public std::enable_shared_from_this<OSCServerUDPDelegate> {
public:
    explicit OSCServerUDPDelegate(std::weak_ptr<OSCReceiver> oscServer);
    ~OSCServerUDPDelegate() override;

    OSCServerUDPDelegate(const OSCServerUDPDelegate&) = delete;
    OSCServerUDPDelegate& operator=(const OSCServerUDPDelegate&) = delete;

    bool implements(Callback callback) const override { return callback == Callback::didReceiveData; }
    void didReceiveData(const std::shared_ptr<udp::DatagramSocket>& socket, const SharedBytes& data,
                        const SharedBytes& address, const std::any& filterContext) override;

    // Bundles held back right now, and the bytes of the datagrams that hold
    // them. On the receive queue only.
    std::size_t heldBundles() const noexcept { return heldBundles_; }
    std::size_t heldBytes() const noexcept { return heldBytes_; }

private:
    struct Walk;
    // The messages of one time tag in one datagram.
    struct Held {
        osc::OSCTimeTag timeTag;
        SharedBytes datagram;
        std::string host;
        std::uint16_t port = 0;
    };
    using Due = std::chrono::steady_clock::time_point;

    bool admit(const OSCReceiver& receiver, std::size_t datagramSize);
    void hold(const OSCReceiver& receiver, Held held);
    void deliverDue();
    void armTimer(const OSCReceiver& receiver);

    std::weak_ptr<OSCReceiver> oscServer_;
    // By moment, and in arrival order for one moment.
    std::multimap<Due, Held> held_;
    // One timer for the earliest moment, on the receive queue; made at the
    // first hold.
    std::shared_ptr<dispatch::TimerSource> timer_;
    std::shared_ptr<dispatch::SerialQueue> timerQueue_;
    std::size_t heldBundles_ = 0;
    std::size_t heldBytes_ = 0;
};

}  // namespace vorn::net
