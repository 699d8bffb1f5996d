#include "monitor/LocalIPMonitor.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

namespace vorn::monitor {

namespace {

class SystemInterfaceAddresses final : public InterfaceAddressSource {
public:
    int list(ifaddrs** list) override { return ::getifaddrs(list); }
    void release(ifaddrs* list) override { ::freeifaddrs(list); }
};

constexpr std::string_view localhost = "localhost";
// Already covered by "localhost"; other loopback addresses (aliases) are not.
constexpr std::string_view loopbackAddress = "127.0.0.1";

}  // namespace

std::shared_ptr<InterfaceAddressSource> InterfaceAddressSource::system() {
    return std::make_shared<SystemInterfaceAddresses>();
}

std::shared_ptr<LocalIPMonitor> LocalIPMonitor::create(dispatch::MainLoop& mainLoop,
                                                       std::shared_ptr<InterfaceAddressSource> source) {
    auto monitor = std::make_shared<LocalIPMonitor>(Key{}, source ? std::move(source) : InterfaceAddressSource::system());
    const auto interval = std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(refreshInterval));
    monitor->timer_ = mainLoop.startRepeatingTimer(interval, [weak = std::weak_ptr<LocalIPMonitor>(monitor)] {
        if (auto self = weak.lock()) {
            self->refresh();
        }
    });
    monitor->refresh();
    return monitor;
}

LocalIPMonitor::LocalIPMonitor(Key, std::shared_ptr<InterfaceAddressSource> source)
    : addresses({std::string(localhost)}, &objectWillChange), source_(std::move(source)) {}

void LocalIPMonitor::refresh() {
    std::vector<std::string> found{std::string(localhost)};

    ifaddrs* list = nullptr;
    if (source_->list(&list) != 0 || list == nullptr) {
        addresses = std::move(found);
        return;
    }
    // Released after the new list is stored, also when a subscriber throws.
    const auto releaseList = [this](ifaddrs* head) { source_->release(head); };
    const std::unique_ptr<ifaddrs, decltype(releaseList)> owned(list, releaseList);

    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const auto* address = reinterpret_cast<const sockaddr_in*>(entry->ifa_addr);
        char text[INET_ADDRSTRLEN];
        if (::inet_ntop(AF_INET, &address->sin_addr, text, sizeof text) == nullptr) {
            continue;
        }
        if (std::string_view(text) == loopbackAddress) {
            continue;
        }
        found.emplace_back(text);
    }
    addresses = std::move(found);
}

}  // namespace vorn::monitor
