#include "monitor/OSCClientPool.h"

namespace vorn::monitor {

OSCClientPool::OSCClientPool(std::size_t count, std::shared_ptr<udp::SystemCalls> system) {
    clients_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        clients_.push_back(std::make_shared<net::OSCClient>(system));
    }
}

std::shared_ptr<net::OSCClient> OSCClientPool::nextClient() {
    if (clients_.empty()) {
        return nullptr;
    }
    auto client = clients_[nextIndex_];
    nextIndex_ = (nextIndex_ + 1) % clients_.size();
    return client;
}

}  // namespace vorn::monitor
