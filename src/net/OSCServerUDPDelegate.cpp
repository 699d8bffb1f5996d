#include "net/OSCServerUDPDelegate.h"

#include "osc/OSCBundle.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <utility>

namespace vorn::net {

namespace {

// Wire tags reach about 136 years ahead; the cap keeps the queue's deadline
// (its clock's now plus the delay) inside the clock's range.
constexpr double maxHoldSeconds = 150.0 * 365.25 * 24 * 3600;

dispatch::Duration holdDelay(double seconds) {
    // The moment may have passed while the datagram was unpacked.
    const double capped = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, maxHoldSeconds);
    // Whole microseconds, the fraction cut off.
    return std::chrono::microseconds(static_cast<std::int64_t>(capped * 1e6));
}

void callHandler(const OSCReceiver& receiver, const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag,
                 const std::string& host, std::uint16_t port, std::exception_ptr& failure) {
    if (const auto& handler = receiver.handler()) {
        try {
            handler(message, timeTag, host, port);
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
}

}  // namespace

// Messages of one bundle time tag that wait for their moment. They point into
// the decoded packet, which the batch keeps alive.
struct OSCServerUDPDelegate::Held {
    osc::OSCTimeTag timeTag;
    std::shared_ptr<const osc::OSCPacket> packet;
    std::vector<const osc::OSCMessage*> messages;
    // Past the hold-back limit: delivered as they come instead.
    bool deliverNow = false;
};

// One datagram on its way to the handler.
struct OSCServerUDPDelegate::Walk {
    OSCServerUDPDelegate& delegate;
    OSCReceiver& receiver;
    const std::string& host;
    std::uint16_t port;
    std::size_t datagramSize;
    // Set only when the datagram may hold something back.
    std::shared_ptr<const osc::OSCPacket> packet;
    std::vector<Held> held;

    // The first exception a handler threw; rethrown once the datagram is
    // done, so that one failing call costs no other message its delivery.
    std::exception_ptr failure;

    void deliver(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag) {
        callHandler(receiver, message, timeTag, host, port, failure);
    }

    // Depth-first, so that messages reach the handler in element order also
    // across nested bundles; the codec bounds the nesting.
    void visit(const osc::OSCPacket& element, const osc::OSCTimeTag& timeTag) {
        if (const auto* bundle = element.bundleIf()) {
            for (const auto& inner : bundle->elements()) {
                visit(inner, bundle->timeTag());
            }
            return;
        }
        handle(element.message(), timeTag);
    }

    void handle(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag) {
        if (receiver.timeTagMode() == OSCTimeTagMode::ignore || !packet || !timeTag.isFuture() ||
            timeTag.secondsFromNow() <= 0) {
            deliver(message, timeTag);
            return;
        }
        Held* batch = nullptr;
        for (auto& candidate : held) {
            if (candidate.timeTag == timeTag) {
                batch = &candidate;
            }
        }
        if (batch == nullptr) {
            // Each held batch keeps the whole datagram alive, so that is what
            // it costs.
            const auto& limit = receiver.holdBackLimit();
            const bool full = delegate.heldBundles_ >= limit.bundles ||
                              delegate.heldBytes_ + datagramSize > limit.bytes;
            if (!full) {
                delegate.heldBundles_ += 1;
                delegate.heldBytes_ += datagramSize;
            }
            batch = &held.emplace_back(Held{timeTag, packet, {}, full});
        }
        if (batch->deliverNow) {
            deliver(message, timeTag);
        } else {
            batch->messages.push_back(&message);
        }
    }
};

OSCServerUDPDelegate::OSCServerUDPDelegate(std::weak_ptr<OSCReceiver> oscServer) : oscServer_(std::move(oscServer)) {}

void OSCServerUDPDelegate::didReceiveData(const std::shared_ptr<udp::DatagramSocket>&, const SharedBytes& data,
                                          const SharedBytes& address, const std::any&) {
    // Runs on the receive queue, as the socket's delegate queue. Decoding,
    // unpacking and delivery all happen in this one task: the steps would
    // only be posted one behind the other onto this same serial queue, so
    // doing them here keeps every ordering and spares the queue round trips.
    const auto receiver = oscServer_.lock();
    if (!receiver) {
        return;
    }
    std::string host;
    std::uint16_t port = 0;
    if (!udp::DatagramSocket::getHost(&host, &port, address)) {
        host.clear();
        port = 0;
    }

    std::optional<osc::OSCPacket> decoded;
    try {
        decoded = osc::parseOSC(data);
    } catch (const std::exception&) {
        // Whatever a peer sends, a bad datagram is its problem, not ours.
        return;
    }
    if (!decoded) {
        return;
    }

    if (decoded->isMessage()) {
        // The common case, kept free of the bundle bookkeeping.
        if (const auto& handler = receiver->handler()) {
            handler(decoded->message(), osc::OSCTimeTag::immediate(), host, port);
        }
        return;
    }
    Walk walk{*this, *receiver, host, port, data.size(), nullptr, {}, nullptr};
    // Only a bundle may be held back; it moves to the heap once, so that
    // held messages can point into it.
    if (receiver->timeTagMode() == OSCTimeTagMode::osc1_0) {
        walk.packet = std::make_shared<const osc::OSCPacket>(std::move(*decoded));
    }
    const osc::OSCPacket& packet = walk.packet ? *walk.packet : *decoded;
    walk.visit(packet, osc::OSCTimeTag::immediate());

    for (auto& batch : walk.held) {
        if (!batch.deliverNow) {
            hold(*receiver, std::move(batch), host, port, data.size());
        }
    }
    if (walk.failure) {
        std::rethrow_exception(walk.failure);
    }
}

void OSCServerUDPDelegate::hold(OSCReceiver& receiver, Held held, const std::string& host, std::uint16_t port,
                                std::size_t datagramSize) {
    const auto delay = holdDelay(held.timeTag.secondsFromNow());
    // Holds the receiver weakly through this delegate, which lives exactly as
    // long: a receiver gone by then gets nothing delivered.
    receiver.receiveQueue()->asyncAfter(delay, [weakDelegate = weak_from_this(), held = std::move(held), host,
                                                port, datagramSize] {
        const auto delegate = weakDelegate.lock();
        if (!delegate) {
            return;
        }
        const auto receiver = delegate->oscServer_.lock();
        if (!receiver) {
            return;
        }
        delegate->heldBundles_ -= 1;
        delegate->heldBytes_ -= datagramSize;
        std::exception_ptr failure;
        for (const auto* message : held.messages) {
            callHandler(*receiver, *message, held.timeTag, host, port, failure);
        }
        if (failure) {
            std::rethrow_exception(failure);
        }
    });
}

}  // namespace vorn::net
