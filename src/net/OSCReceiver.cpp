#include "net/OSCReceiver.h"

#include <utility>

namespace vorn::net {

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
