#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "dispatch/Published.h"

#include <memory>
#include <string>
#include <vector>

struct ifaddrs;

namespace vorn::monitor {

// Where the interface addresses come from: the system's getifaddrs and
// freeifaddrs, or a hand-built list in tests.
class InterfaceAddressSource {
public:
    virtual ~InterfaceAddressSource() = default;

    // As getifaddrs: 0 with the list in `list` (null when there are no
    // entries), or -1 on failure.
    virtual int list(ifaddrs** list) = 0;
    // As freeifaddrs, for a non-null list that list() handed out.
    virtual void release(ifaddrs* list) = 0;

    static std::shared_ptr<InterfaceAddressSource> system();
};

// This machine's IPv4 addresses, for the settings form to show where the
// monitor can be reached. "localhost" always comes first; the loopback address
// itself is left out since "localhost" already stands for it.
//
// Lives on the main thread: construction, every refresh and every change of
// `addresses` happen there.
class LocalIPMonitor {
    struct Key {};

public:
    static constexpr double refreshInterval = 5.0;  // seconds

    // Refreshes once before returning and then every refreshInterval on
    // `mainLoop`, until the monitor is released. `mainLoop` must outlive the
    // monitor. Without a source the system's list is read.
    static std::shared_ptr<LocalIPMonitor> create(dispatch::MainLoop& mainLoop,
                                                  std::shared_ptr<InterfaceAddressSource> source = nullptr);

    LocalIPMonitor(Key, std::shared_ptr<InterfaceAddressSource> source);

    LocalIPMonitor(const LocalIPMonitor&) = delete;
    LocalIPMonitor& operator=(const LocalIPMonitor&) = delete;

    // Declared first so that it outlives the property that signals it.
    dispatch::ObjectWillChange objectWillChange;

    dispatch::Published<std::vector<std::string>> addresses;

    // Rebuilds `addresses` from the current interface list. Assigns even when
    // nothing changed. Main thread.
    void refresh();

private:
    dispatch::Cancellable timer_;
    std::shared_ptr<InterfaceAddressSource> source_;
};

}  // namespace vorn::monitor
