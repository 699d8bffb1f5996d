#pragma once

#include "dispatch/SerialQueue.h"
#include "net/OSCTimeTagMode.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "osc/OSCTimeTag.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <string>
#include <type_traits>

namespace vorn::net {

// What a receiver hands every message to, with the time tag it came with
// (immediate() outside a bundle) and the sender's numeric host and port. Runs
// on the receive queue, one call at a time.
//
// Made from a function of an owned osc::OSCMessage, or of an
// osc::OSCMessageView: a view is read straight from the datagram, with no
// owned values built, and is valid during the call only. A function that
// takes either (a generic lambda) is given views. A message with a tag that
// only a registered type decodes cannot be viewed: take owned messages to
// receive those.
class OSCMessageHandler {
public:
    using Owned = std::function<void(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag,
                                     const std::string& host, std::uint16_t port)>;
    using InPlace = std::function<void(const osc::OSCMessageView& message, const osc::OSCTimeTag& timeTag,
                                       const std::string& host, std::uint16_t port)>;

    template <class F>
    static constexpr bool takesViews =
        std::is_invocable_v<F&, const osc::OSCMessageView&, const osc::OSCTimeTag&, const std::string&, std::uint16_t>;
    template <class F>
    static constexpr bool takesOwned =
        std::is_invocable_v<F&, const osc::OSCMessage&, const osc::OSCTimeTag&, const std::string&, std::uint16_t>;

    OSCMessageHandler() = default;
    OSCMessageHandler(std::nullptr_t) noexcept {}  // NOLINT: null drops messages, as before
    template <class F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, OSCMessageHandler> && takesViews<F>)
    OSCMessageHandler(F function) : inPlace_(std::move(function)) {}  // NOLINT: a function is a handler
    template <class F>
        requires(!takesViews<F> && takesOwned<F>)
    OSCMessageHandler(F function) : owned_(std::move(function)) {}  // NOLINT: a function is a handler

    explicit operator bool() const noexcept { return owned_ || inPlace_; }
    // Calls the function with the message as it takes it: an owned message
    // is viewed in its bytes, a view is decoded into an owned copy. For
    // whoever wraps a handler; receivers call the function directly.
    void operator()(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag, const std::string& host,
                    std::uint16_t port) const;
    void operator()(const osc::OSCMessageView& message, const osc::OSCTimeTag& timeTag, const std::string& host,
                    std::uint16_t port) const;
    bool readsInPlace() const noexcept { return static_cast<bool>(inPlace_); }
    const Owned& owned() const noexcept { return owned_; }
    const InPlace& inPlace() const noexcept { return inPlace_; }

private:
    Owned owned_;
    InPlace inPlace_;
};

// How much a receiver in mode osc1_0 holds back for later: bundles, and the
// bytes of the datagrams that hold them, which is what is kept until they are
// due. A peer could date any number of bundles years ahead; past either bound
// further future bundles are delivered at once rather than kept.
struct OSCHoldBackLimit {
    std::size_t bundles = 1024;
    std::size_t bytes = std::size_t{16} << 20;
};

// The receiving side that OSCServer and OSCSocket share: the serial receive
// queue, the time-tag mode and the handler. OSCServerUDPDelegate reaches it
// through a weak pointer, so a receiver that is gone drops what arrives.
class OSCReceiver : public std::enable_shared_from_this<OSCReceiver> {
public:
    virtual ~OSCReceiver();

    OSCReceiver(const OSCReceiver&) = delete;
    OSCReceiver& operator=(const OSCReceiver&) = delete;

    const std::shared_ptr<dispatch::SerialQueue>& receiveQueue() const noexcept { return receiveQueue_; }

    // Read for each message as it is handled, so a change applies to
    // messages that arrive afterwards. Any thread.
    OSCTimeTagMode timeTagMode() const noexcept { return timeTagMode_.load(std::memory_order_relaxed); }
    void setTimeTagMode(OSCTimeTagMode mode) noexcept { timeTagMode_.store(mode, std::memory_order_relaxed); }

    // Posted to the receive queue, so the swap never races with a running
    // handler: datagrams handled after the swap see the new handler. Any
    // thread; null drops messages.
    void setHandler(OSCMessageHandler handler);

    // Posted to the receive queue like setHandler; bundles already held stay
    // held. Any thread.
    void setHoldBackLimit(OSCHoldBackLimit limit);

    // On the receive queue only.
    const OSCMessageHandler& handler() const noexcept { return handler_; }
    const OSCHoldBackLimit& holdBackLimit() const noexcept { return holdBackLimit_; }

protected:
    // Without a queue the receiver makes its own serial queue named `ownQueueLabel`.
    OSCReceiver(std::shared_ptr<dispatch::SerialQueue> receiveQueue, std::string_view ownQueueLabel,
                OSCTimeTagMode mode, OSCMessageHandler handler);

private:
    std::shared_ptr<dispatch::SerialQueue> receiveQueue_;
    std::atomic<OSCTimeTagMode> timeTagMode_;
    OSCMessageHandler handler_;
    OSCHoldBackLimit holdBackLimit_;
};

}  // namespace vorn::net
