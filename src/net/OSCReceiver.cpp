#include "net/OSCReceiver.h"

#include <utility>

namespace vorn::net {

void OSCMessageHandler::operator()(const osc::OSCMessage& message, const osc::OSCTimeTag& timeTag,
                                   const std::string& host, std::uint16_t port) const {
    if (owned_) {
        owned_(message, timeTag, host, port);
    } else if (inPlace_) {
        const auto bytes = message.rawData();
        if (const auto view = osc::OSCMessageView::parse(bytes.span())) {
            inPlace_(*view, timeTag, host, port);
        }
    }
}

void OSCMessageHandler::operator()(const osc::OSCMessageView& message, const osc::OSCTimeTag& timeTag,
                                   const std::string& host, std::uint16_t port) const {
    if (inPlace_) {
        inPlace_(message, timeTag, host, port);
    } else if (owned_) {
        owned_(osc::OSCMessage::decode(message.bytes()), timeTag, host, port);
    }
}

OSCReceiver::OSCReceiver(std::shared_ptr<dispatch::SerialQueue> receiveQueue, std::string_view ownQueueLabel,
                         OSCTimeTagMode mode, OSCMessageHandler handler)
    : receiveQueue_(receiveQueue ? std::move(receiveQueue) : dispatch::SerialQueue::create(std::string(ownQueueLabel))),
      timeTagMode_(mode),
      handler_(std::move(handler)) {}

OSCReceiver::~OSCReceiver() = default;

void OSCReceiver::setHandler(OSCMessageHandler handler) {
    receiveQueue_->async([weak = weak_from_this(), handler = std::move(handler)]() mutable {
        if (const auto self = weak.lock()) {
            self->handler_ = std::move(handler);
        }
    });
}

void OSCReceiver::setHoldBackLimit(OSCHoldBackLimit limit) {
    receiveQueue_->async([weak = weak_from_this(), limit] {
        if (const auto self = weak.lock()) {
            self->holdBackLimit_ = limit;
        }
    });
}

}  // namespace vorn::net
