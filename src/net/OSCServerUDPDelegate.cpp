#include "net/OSCServerUDPDelegate.h"

#include "dispatch/TimerSource.h"
#include "osc/OSCBundle.h"
#include "osc/OSCBundleView.h"
#include "osc/OSCErrors.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::net {

namespace {

// Wire tags reach about 136 years ahead; the cap keeps the timer's deadline
// (the clock's now plus the delay) inside the clock's range.
constexpr double maxHoldSeconds = 150.0 * 365.25 * 24 * 3600;

dispatch::Duration holdDelay(double seconds) {
    // The moment may have passed while the datagram was unpacked.
    const double capped = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, maxHoldSeconds);
    // Whole microseconds, the fraction cut off.
    return std::chrono::microseconds(static_cast<std::int64_t>(capped * 1e6));
}

// The handler's function for messages of one form.
const OSCMessageHandler::Owned& functionFor(const OSCMessageHandler& handler, const osc::OSCMessage&) {
    return handler.owned();
}

const OSCMessageHandler::InPlace& functionFor(const OSCMessageHandler& handler, const osc::OSCMessageView&) {
    return handler.inPlace();
}

template <class Message>
void callHandler(const OSCReceiver& receiver, const Message& message, const osc::OSCTimeTag& timeTag,
                 const std::string& host, std::uint16_t port, std::exception_ptr& failure) {
    if (const auto& function = functionFor(receiver.handler(), message)) {
        try {
            function(message, timeTag, host, port);
        } catch (...) {
            if (!failure) {
                failure = std::current_exception();
            }
        }
    }
}

// What a decoder gives, nothing when it throws: whatever a peer sends, a bad
// datagram is its problem, not ours.
template <class Decode>
auto decode(Decode&& run) -> decltype(run()) {
    try {
        return run();
    } catch (const std::exception&) {
        return {};
    }
}

// Calls `handle` with every message of `element` and the time tag of the
// bundle around it, depth-first, so that messages come in element order also
// across nested bundles; the codec bounds the nesting.
template <class Handle>
void visitMessages(const osc::OSCPacket& element, const osc::OSCTimeTag& timeTag, Handle& handle) {
    if (const auto* bundle = element.bundleIf()) {
        for (const auto& inner : bundle->elements()) {
            visitMessages(inner, bundle->timeTag(), handle);
        }
        return;
    }
    handle(element.message(), timeTag);
}

// Calls `handle` with every message of a datagram, as views for a handler
// that reads in place and as owned messages otherwise, in the order above. A
// bad datagram is dropped whole, before any of its messages is handed on.
template <class Handle>
void visitDatagram(const SharedBytes& data, bool inPlace, Handle& handle) {
    const auto bytes = data.span();
    const auto type = osc::packetType(bytes);
    if (!type) {
        return;
    }
    if (!inPlace) {
        if (const auto decoded = decode([&] { return osc::parseOSC(data); })) {
            visitMessages(*decoded, osc::OSCTimeTag::immediate(), handle);
        }
    } else if (*type == osc::OSCObjectType::message) {
        if (const auto view = decode([&] { return osc::OSCMessageView::parse(bytes); })) {
            handle(*view, osc::OSCTimeTag::immediate());
        }
    } else if (const auto bundle = decode([&] { return osc::OSCBundleView::parse(bytes); })) {
        for (const auto& element : bundle->messages()) {
            handle(element.message, element.timeTag);
        }
    }
}

}  // namespace

// One datagram on its way to the handler.
struct OSCServerUDPDelegate::Walk {
    OSCServerUDPDelegate& delegate;
    const OSCReceiver& receiver;
    const SharedBytes& datagram;
    const std::string& host;
    std::uint16_t port;
    bool mayHold;
    // Every future time tag met so far, and whether its messages are held:
    // all messages of one tag in a datagram share one fate, which is what
    // lets the held ones be found again by their tag alone.
    std::vector<std::pair<osc::OSCTimeTag, bool>> decided;
    // The first exception a handler threw; rethrown once the datagram is
    // done, so that one failing call costs no other message its delivery.
    std::exception_ptr failure;

    template <class Message>
    void operator()(const Message& message, const osc::OSCTimeTag& timeTag) {
        if (!mayHold || !timeTag.isFuture()) {
            callHandler(receiver, message, timeTag, host, port, failure);
            return;
        }
        const auto known = std::find_if(decided.begin(), decided.end(),
                                        [&](const auto& decision) { return decision.first == timeTag; });
        if (known != decided.end()) {
            if (!known->second) {
                callHandler(receiver, message, timeTag, host, port, failure);
            }
            return;
        }
        // A moment that has passed stays passed, so it needs no note.
        if (timeTag.secondsFromNow() <= 0) {
            callHandler(receiver, message, timeTag, host, port, failure);
            return;
        }
        const bool held = delegate.admit(receiver, datagram.size());
        decided.emplace_back(timeTag, held);
        if (held) {
            delegate.hold(receiver, Held{timeTag, datagram, host, port});
        } else {
            // Past the hold-back limit: delivered as it comes instead.
            callHandler(receiver, message, timeTag, host, port, failure);
        }
    }
};

OSCServerUDPDelegate::OSCServerUDPDelegate(std::weak_ptr<OSCReceiver> oscServer) : oscServer_(std::move(oscServer)) {}

OSCServerUDPDelegate::~OSCServerUDPDelegate() {
    // The timer lives on the receive queue. Released elsewhere, it would wait
    // there for whatever handler is running: it goes to the queue instead,
    // where nothing of ours is left for it to deliver.
    if (timer_ && !timerQueue_->isCurrent()) {
        timerQueue_->async([timer = std::move(timer_)]() mutable { timer.reset(); });
    }
}

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
    const auto& handler = receiver->handler();
    const bool inPlace = handler.readsInPlace();
    if (inPlace && osc::packetType(data.span()) == osc::OSCObjectType::message) {
        // The common case, kept free of the bundle bookkeeping.
        if (const auto view = decode([&] { return osc::OSCMessageView::parse(data.span()); }); view) {
            handler.inPlace()(*view, osc::OSCTimeTag::immediate(), host, port);
        }
        return;
    }
    Walk walk{*this, *receiver, data, host, port, receiver->timeTagMode() == OSCTimeTagMode::osc1_0, {}, nullptr};
    visitDatagram(data, inPlace, walk);
    if (walk.failure) {
        std::rethrow_exception(walk.failure);
    }
}

// Counts a datagram in when there is room for it.
bool OSCServerUDPDelegate::admit(const OSCReceiver& receiver, std::size_t datagramSize) {
    const auto& limit = receiver.holdBackLimit();
    if (heldBundles_ >= limit.bundles || heldBytes_ + datagramSize > limit.bytes) {
        return false;
    }
    heldBundles_ += 1;
    heldBytes_ += datagramSize;
    return true;
}

void OSCServerUDPDelegate::hold(const OSCReceiver& receiver, Held held) {
    const auto due = std::chrono::steady_clock::now() + holdDelay(held.timeTag.secondsFromNow());
    const bool earliest = held_.empty() || due < held_.begin()->first;
    held_.emplace(due, std::move(held));
    if (earliest) {
        armTimer(receiver);
    }
}

void OSCServerUDPDelegate::armTimer(const OSCReceiver& receiver) {
    if (held_.empty()) {
        if (timer_) {
            timer_->cancel();
        }
        return;
    }
    if (!timer_) {
        timerQueue_ = receiver.receiveQueue();
        timer_ = std::make_shared<dispatch::TimerSource>(timerQueue_);
    }
    const auto delay = std::max(dispatch::Duration::zero(), held_.begin()->first - std::chrono::steady_clock::now());
    timer_->start(delay, [weak = weak_from_this()] {
        if (const auto delegate = weak.lock()) {
            delegate->deliverDue();
        }
    });
}

void OSCServerUDPDelegate::deliverDue() {
    const auto receiver = oscServer_.lock();
    if (!receiver) {
        // Nobody left to deliver to.
        held_.clear();
        heldBundles_ = 0;
        heldBytes_ = 0;
        return;
    }
    std::exception_ptr failure;
    while (!held_.empty() && held_.begin()->first <= std::chrono::steady_clock::now()) {
        const auto node = held_.extract(held_.begin());
        const Held& held = node.mapped();
        heldBundles_ -= 1;
        heldBytes_ -= held.datagram.size();
        auto deliver = [&](const auto& message, const osc::OSCTimeTag& timeTag) {
            if (timeTag == held.timeTag) {
                callHandler(*receiver, message, timeTag, held.host, held.port, failure);
            }
        };
        visitDatagram(held.datagram, receiver->handler().readsInPlace(), deliver);
    }
    armTimer(*receiver);
    if (failure) {
        std::rethrow_exception(failure);
    }
}

}  // namespace vorn::net
