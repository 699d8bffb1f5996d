// The monitor's receive side: what the receive paths hand over, and how the
// main thread logs it. The check and the credit are detail::Inbox's.

#include "monitor/OSCManager.h"

#include "monitor/detail/Inbox.h"
#include "osc/OSCMessageView.h"

#include <memory>
#include <string>
#include <utility>

namespace vorn::monitor {

namespace {

constexpr std::string_view warningIcon = "\xE2\x9A\xA0\xEF\xB8\x8F ";

}  // namespace

net::OSCMessageHandler OSCManager::incomingHandler() {
    // Holds the inbox, not the monitor: the monitor is let go on the main
    // thread only. The receive queue never waits on the main thread either;
    // it takes the inbox's lock for a push, and posts once per batch. Only
    // the address matters here, so the message is read in place.
    return [weak = weak_from_this(), inbox = inbox_, loop = &mainLoop_](
               const osc::OSCMessageView& message, const osc::OSCTimeTag&, const std::string& host,
               std::uint16_t port) {
        // The arrival is taken here, as the socket hands the datagram over:
        // the wait for the main thread would add its own delay to the round
        // trip.
        const auto arrival = loop->now();
        // A monitor that is gone hears nothing (its server may outlive it).
        if (weak.expired()) {
            return;
        }
        if (inbox->receive(message.address(), host, port, arrival)) {
            loop->post([weak] {
                if (auto self = weak.lock()) {
                    self->takeReceived();
                }
            });
        }
    };
}

void OSCManager::handleIncomingMessage(const osc::OSCMessage& message, const std::string& host,
                                       std::uint16_t port, std::optional<dispatch::Duration> arrival) {
    handleIncoming(message.addressPattern().rawAddress(), host, port, arrival.value_or(mainLoop_.now()));
}

void OSCManager::handleIncoming(std::string_view address, const std::string& host, std::uint16_t port,
                                dispatch::Duration arrival) {
    if (inbox_->receive(address, host, port, arrival)) {
        postTake();
    }
}

void OSCManager::postTake() {
    mainLoop_.post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->takeReceived();
        }
    });
}

void OSCManager::postLines(std::function<void(OSCManager&)> lines) {
    mainLoop_.post([self = shared_from_this(), hold = inbox_->hold(), lines = std::move(lines)] {
        // Released however the lines end, so that no line waits for ever.
        struct Release {
            OSCManager& manager;
            std::uint64_t hold;
            ~Release() {
                if (manager.inbox_->release(hold)) {
                    manager.postTake();
                }
            }
        } release{*self, hold};
        lines(*self);
    });
}

// Main thread. The lines that wait, in the order the messages came, each
// followed by how many could not wait after it.
void OSCManager::takeReceived() {
    if (takingReceived_) {
        // A subscriber ran a nested event loop during a take.
        takeAgain_ = true;
        return;
    }
    auto taken = inbox_->take();
    {
        takingReceived_ = true;
        // Cleared however the batch ends: a subscriber may throw.
        const std::unique_ptr<bool, void (*)(bool*)> cleared(&takingReceived_, [](bool* flag) { *flag = false; });
        for (auto& received : taken) {
            const std::uint64_t dropped = received.droppedAfter;
            logReceived(std::move(received));
            if (dropped > 0) {
                appendNow({}, std::string(warningIcon) + std::to_string(dropped) +
                                  (dropped == 1 ? " received message" : " received messages") +
                                  " not logged: they came faster than the log could take them");
            }
        }
    }
    if (std::exchange(takeAgain_, false)) {
        postTake();
    }
}

void OSCManager::logReceived(detail::ReceivedLine received) {
    LineEvent event{"received"};
    event.fromHost = std::move(received.host);
    event.fromPort = received.port;
    std::optional<MonitorTime> roundTrip;
    // A heartbeat answers no ping: the pings of an earlier active spell
    // would give it a round trip it does not have.
    if (received.isReply && !settings_->passive.get()) {
        roundTrip = quality_.replyArrived(received.arrivedAt);
        if (roundTrip) {
            event.rttMs = milliseconds(*roundTrip);
        }
    }
    appendingSender_ = std::move(received.sender);
    appendNow(std::move(event), std::move(received.line));
    appendingSender_.clear();
    if (received.isReply) {
        heartbeatCount = heartbeatCount.get() + 1;
        if (roundTrip) {
            noteRoundTrip(*roundTrip);
        }
        publishStatistics();
    }
}

void OSCManager::append(LineEvent event, std::string line) {
    // What reached the monitor before this line comes before it.
    takeReceived();
    appendNow(std::move(event), std::move(line));
}

void OSCManager::appendNow(LineEvent event, std::string line) {
    appendingEvent_ = std::move(event);
    log.append(std::move(line));
    appendingEvent_ = {};
}

bool OSCManager::lastReplyReceived() const noexcept {
    return inbox_->replyReceived();
}

}  // namespace vorn::monitor
