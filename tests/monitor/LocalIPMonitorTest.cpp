#include "monitor/LocalIPMonitor.h"

#include "dispatch/ManualMainLoop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;
using Addresses = std::vector<std::string>;

// An IPv4 or IPv6 address in text, another family, or no socket address.
struct Entry {
    std::string interface;
    std::optional<int> family;
    std::string address;
};
Entry ipv4(std::string interface, std::string address) { return {std::move(interface), AF_INET, std::move(address)}; }
Entry ipv6(std::string interface, std::string address) { return {std::move(interface), AF_INET6, std::move(address)}; }

// Hands out a chain laid out as getifaddrs lays it out, and checks that what
// comes back is what it handed out, once.
class FakeInterfaces final : public InterfaceAddressSource {
public:
    std::vector<Entry> entries;
    bool fails = false;
    int listCalls = 0;
    int releaseCalls = 0;  // of the list handed out, and only that

    int list(ifaddrs** out) override {
        ++listCalls;
        if (fails) return -1;
        nodes_.assign(entries.size(), Node{});
        ifaddrs* next = nullptr;
        for (std::size_t i = entries.size(); i-- > 0;) {
            Node& node = nodes_[i];
            node.entry.ifa_name = entries[i].interface.data();
            node.entry.ifa_next = next;
            if (entries[i].family) {
                node.address.ss_family = static_cast<sa_family_t>(*entries[i].family);
                void* where = *entries[i].family == AF_INET6
                                  ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&node.address)->sin6_addr)
                                  : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&node.address)->sin_addr);
                if (*entries[i].family != AF_PACKET) ::inet_pton(*entries[i].family, entries[i].address.c_str(), where);
                node.entry.ifa_addr = reinterpret_cast<sockaddr*>(&node.address);
            }
            next = &node.entry;
        }
        *out = handedOut_ = next;
        return 0;
    }

    void release(ifaddrs* list) override {
        releaseCalls += list == std::exchange(handedOut_, nullptr) ? 1 : 100;
    }

private:
    struct Node {
        ifaddrs entry{};
        sockaddr_storage address{};
    };
    std::vector<Node> nodes_;
    ifaddrs* handedOut_ = nullptr;
};

struct Fixture {
    explicit Fixture(std::vector<Entry> entries = {}) {
        interfaces->entries = std::move(entries);
        monitor = LocalIPMonitor::create(loop, interfaces);
    }
    dispatch::ManualMainLoop loop;
    std::shared_ptr<FakeInterfaces> interfaces = std::make_shared<FakeInterfaces>();
    std::shared_ptr<LocalIPMonitor> monitor;
};

TEST(LocalIPMonitorTest, ListsIPv4AddressesAfterLocalhostInSystemOrder) {
    struct Case {
        const char* name;
        std::vector<Entry> entries;
        Addresses expected;
    };
    const Case cases[] = {
        {"no interfaces", {}, {"localhost"}},
        {"loopback and its alias",
         {ipv4("lo", "127.0.0.1"), ipv6("lo", "::1"), ipv4("lo:1", "127.0.0.2")},
         {"localhost", "127.0.0.2"}},
        {"address held twice",
         {ipv4("eth0", "192.168.1.20"), ipv4("eth1", "192.168.1.20")},
         {"localhost", "192.168.1.20", "192.168.1.20"}},
        {"IPv6-only interface, no address, link layer",
         {ipv6("eth0", "fe80::1"), {"tun0", std::nullopt, ""}, {"eth0", AF_PACKET, ""}, ipv4("eth1", "10.0.0.7")},
         {"localhost", "10.0.0.7"}},
        // Not sorted; and fifteen characters, the most the text buffer holds.
        {"order kept",
         {ipv4("wlan0", "255.255.255.255"), ipv4("lo", "127.0.0.1"), ipv4("eth0", "10.0.0.2")},
         {"localhost", "255.255.255.255", "10.0.0.2"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Fixture fixture(test.entries);
        EXPECT_EQ(fixture.monitor->addresses.get(), test.expected);
        EXPECT_EQ(fixture.interfaces->listCalls, 1);
        EXPECT_EQ(fixture.interfaces->releaseCalls, test.entries.empty() ? 0 : 1);
    }
}

// Every five seconds a refresh, told to observers before it is stored even
// when nothing changed; a failed query leaves only "localhost"; nothing runs
// once the monitor is dropped.
TEST(LocalIPMonitorTest, TimerRefreshesUntilTheMonitorIsDropped) {
    Fixture fixture({ipv4("eth0", "10.0.0.2")});
    std::vector<Addresses> seenWhenTold;
    std::vector<Addresses> delivered;
    auto told = fixture.monitor->objectWillChange.connect(
        [&] { seenWhenTold.push_back(fixture.monitor->addresses.get()); });
    auto subscription = fixture.monitor->addresses.subscribe([&](const Addresses& list) { delivered.push_back(list); });

    fixture.interfaces->entries = {ipv4("eth0", "10.0.0.3")};
    fixture.loop.advance(4900ms);
    EXPECT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "10.0.0.2"}));
    fixture.loop.advance(100ms);
    fixture.loop.advance(5s);
    const Addresses old{"localhost", "10.0.0.2"}, now{"localhost", "10.0.0.3"};
    EXPECT_EQ(seenWhenTold, (std::vector<Addresses>{old, now}));
    EXPECT_EQ(delivered, (std::vector<Addresses>{old, now, now}));

    fixture.interfaces->fails = true;
    fixture.monitor->refresh();
    EXPECT_EQ(fixture.monitor->addresses.get(), Addresses{"localhost"});
    EXPECT_EQ(fixture.interfaces->listCalls, 4);
    EXPECT_EQ(fixture.interfaces->releaseCalls, 3);

    std::weak_ptr<LocalIPMonitor> weak = fixture.monitor;
    fixture.monitor.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(fixture.loop.advance(60s), 0u);
    EXPECT_EQ(fixture.interfaces->listCalls, 4);
}

// The loopback interface of this machine, which "localhost" stands for.
TEST(LocalIPMonitorTest, RealInterfacesStartWithLocalhostAndHideTheLoopbackAddress) {
    dispatch::ManualMainLoop loop;
    const auto list = LocalIPMonitor::create(loop)->addresses.get();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), "localhost");
    for (std::size_t i = 1; i < list.size(); ++i) {
        in_addr parsed{};
        EXPECT_NE(list[i], "127.0.0.1");
        EXPECT_EQ(::inet_pton(AF_INET, list[i].c_str(), &parsed), 1) << list[i];
    }
}

}  // namespace
}  // namespace vorn::monitor
