#pragma once

#include "net/OSCClient.h"

#include <cstddef>
#include <memory>
#include <vector>

namespace vorn::monitor {

// A fixed set of clients handed out in strict rotation, so that successive
// pings leave from different local ports. Not synchronised: one thread uses it.
class OSCClientPool {
public:
    // Creates `count` never-started clients with the default configuration;
    // `system`, when given, replaces their system calls.
    explicit OSCClientPool(std::size_t count, std::shared_ptr<udp::SystemCalls> system = nullptr);

    // The client after the one handed out last, starting with the first
    // created; null only for an empty pool.
    std::shared_ptr<net::OSCClient> nextClient();

    const std::vector<std::shared_ptr<net::OSCClient>>& clients() const noexcept { return clients_; }

private:
    std::vector<std::shared_ptr<net::OSCClient>> clients_;
    std::size_t nextIndex_ = 0;
};

}  // namespace vorn::monitor
