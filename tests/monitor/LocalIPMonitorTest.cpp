#include "monitor/LocalIPMonitor.h"

#include "dispatch/ManualMainLoop.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace vorn::monitor {
namespace {

using namespace std::chrono_literals;
using Addresses = std::vector<std::string>;

// One interface entry: an IPv4 or IPv6 address in text, another family with
// no address text, or no socket address at all.
struct Entry {
    std::string interface;
    std::optional<int> family;
    std::string address;
};

Entry ipv4(std::string interface, std::string address) {
    return {std::move(interface), AF_INET, std::move(address)};
}
Entry ipv6(std::string interface, std::string address) {
    return {std::move(interface), AF_INET6, std::move(address)};
}

// Hands out a chain built from `entries` the way getifaddrs lays it out, and
// checks that what comes back is what it handed out, once.
class FakeInterfaces final : public InterfaceAddressSource {
public:
    std::vector<Entry> entries;
    bool fails = false;
    int listCalls = 0;
    int releaseCalls = 0;
    int foreignReleases = 0;

    int list(ifaddrs** out) override {
        ++listCalls;
        if (fails) return -1;
        nodes_.clear();
        ifaddrs* next = nullptr;
        // Built back to front so each node can point at the one after it.
        for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
            auto& node = nodes_.emplace_front();
            node.name = it->interface;
            node.entry.ifa_name = node.name.data();
            node.entry.ifa_next = next;
            if (it->family) {
                node.address.ss_family = static_cast<sa_family_t>(*it->family);
                if (*it->family == AF_INET) {
                    auto* in = reinterpret_cast<sockaddr_in*>(&node.address);
                    EXPECT_EQ(::inet_pton(AF_INET, it->address.c_str(), &in->sin_addr), 1) << it->address;
                } else if (*it->family == AF_INET6) {
                    auto* in6 = reinterpret_cast<sockaddr_in6*>(&node.address);
                    EXPECT_EQ(::inet_pton(AF_INET6, it->address.c_str(), &in6->sin6_addr), 1) << it->address;
                }
                node.entry.ifa_addr = reinterpret_cast<sockaddr*>(&node.address);
            }
            next = &node.entry;
        }
        handedOut_ = next;
        *out = next;
        return 0;
    }

    void release(ifaddrs* list) override {
        ++releaseCalls;
        foreignReleases += list == handedOut_ ? 0 : 1;
        handedOut_ = nullptr;
    }

private:
    struct Node {
        ifaddrs entry{};
        sockaddr_storage address{};
        std::string name;
    };
    std::deque<Node> nodes_;
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
        {"loopback only", {ipv4("lo", "127.0.0.1"), ipv6("lo", "::1")}, {"localhost"}},
        {"no interfaces", {}, {"localhost"}},
        {"loopback alias", {ipv4("lo", "127.0.0.1"), ipv4("lo:1", "127.0.0.2")}, {"localhost", "127.0.0.2"}},
        {"address held twice",
         {ipv4("eth0", "192.168.1.20"), ipv4("eth1", "192.168.1.20")},
         {"localhost", "192.168.1.20", "192.168.1.20"}},
        {"IPv6-only interface",
         {ipv6("eth0", "fe80::1"), ipv6("eth0", "2001:db8::5"), ipv4("eth1", "10.0.0.7")},
         {"localhost", "10.0.0.7"}},
        {"no socket address, link layer",
         {{"tun0", std::nullopt, ""}, {"eth0", AF_PACKET, ""}, ipv4("eth0", "10.1.2.3")},
         {"localhost", "10.1.2.3"}},
        {"order kept, not sorted",
         {ipv4("wlan0", "192.168.1.20"), ipv4("lo", "127.0.0.1"), ipv4("eth0", "10.0.0.2"),
          ipv4("docker0", "172.17.0.1")},
         {"localhost", "192.168.1.20", "10.0.0.2", "172.17.0.1"}},
        // Fifteen characters, the most the 16-byte buffer has to hold.
        {"longest text", {ipv4("eth0", "255.255.255.255")}, {"localhost", "255.255.255.255"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Fixture fixture(test.entries);
        EXPECT_EQ(fixture.monitor->addresses.get(), test.expected);
        EXPECT_EQ(fixture.interfaces->listCalls, 1);
        EXPECT_EQ(fixture.interfaces->releaseCalls, test.entries.empty() ? 0 : 1);
        EXPECT_EQ(fixture.interfaces->foreignReleases, 0);
    }
}

// Each refresh hands its list back once, and a failure leaves only
// "localhost", whatever the previous refresh found.
TEST(LocalIPMonitorTest, FailingQueryLeavesLocalhostAndReleasesNothing) {
    Fixture fixture({ipv4("eth0", "192.168.1.20")});
    ASSERT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "192.168.1.20"}));

    fixture.interfaces->fails = true;
    fixture.monitor->refresh();
    EXPECT_EQ(fixture.monitor->addresses.get(), Addresses{"localhost"});
    EXPECT_EQ(fixture.interfaces->releaseCalls, 1);

    fixture.interfaces->fails = false;
    fixture.monitor->refresh();
    fixture.monitor->refresh();
    EXPECT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "192.168.1.20"}));
    EXPECT_EQ(fixture.interfaces->listCalls, 4);
    EXPECT_EQ(fixture.interfaces->releaseCalls, 3);
    EXPECT_EQ(fixture.interfaces->foreignReleases, 0);
}

// The settings form re-reads on every refresh, so observers hear of one even
// when the list came out the same.
TEST(LocalIPMonitorTest, EveryRefreshNotifiesObserversBeforeStoring) {
    Fixture fixture({ipv4("eth0", "10.0.0.2")});
    int willChange = 0;
    std::vector<Addresses> seenByObjectObserver;
    std::vector<Addresses> delivered;
    auto objectObservation = fixture.monitor->objectWillChange.connect([&] {
        ++willChange;
        seenByObjectObserver.push_back(fixture.monitor->addresses.get());
    });
    auto subscription = fixture.monitor->addresses.subscribe([&](const Addresses& list) { delivered.push_back(list); });

    fixture.interfaces->entries = {ipv4("eth0", "10.0.0.3")};
    fixture.monitor->refresh();
    fixture.monitor->refresh();

    EXPECT_EQ(willChange, 2);
    // The object's observers run before the store, so they still see the old list.
    EXPECT_EQ(seenByObjectObserver,
              (std::vector<Addresses>{{"localhost", "10.0.0.2"}, {"localhost", "10.0.0.3"}}));
    EXPECT_EQ(delivered, (std::vector<Addresses>{{"localhost", "10.0.0.2"},
                                                 {"localhost", "10.0.0.3"},
                                                 {"localhost", "10.0.0.3"}}));
}

TEST(LocalIPMonitorTest, TimerPicksUpChangesEveryFiveSecondsUntilTheMonitorIsDropped) {
    Fixture fixture({ipv4("eth0", "10.0.0.2")});
    ASSERT_EQ(fixture.interfaces->listCalls, 1);

    fixture.interfaces->entries = {ipv4("eth0", "10.0.0.2"), ipv4("wlan0", "192.168.1.20")};
    fixture.loop.advance(4900ms);
    EXPECT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "10.0.0.2"}));
    fixture.loop.advance(100ms);
    EXPECT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "10.0.0.2", "192.168.1.20"}));

    fixture.interfaces->entries = {ipv4("wlan0", "192.168.1.20")};
    fixture.loop.advance(5s);
    EXPECT_EQ(fixture.monitor->addresses.get(), (Addresses{"localhost", "192.168.1.20"}));
    EXPECT_EQ(fixture.interfaces->listCalls, 3);
    EXPECT_EQ(fixture.interfaces->releaseCalls, 3);

    std::weak_ptr<LocalIPMonitor> weak = fixture.monitor;
    fixture.monitor.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(fixture.loop.advance(60s), 0u);
    EXPECT_EQ(fixture.interfaces->listCalls, 3);
}

// The machine this runs on has a loopback interface, which "localhost"
// stands for.
TEST(LocalIPMonitorTest, RealInterfacesStartWithLocalhostAndHideTheLoopbackAddress) {
    dispatch::ManualMainLoop loop;
    const auto monitor = LocalIPMonitor::create(loop);
    const auto& list = monitor->addresses.get();
    ASSERT_FALSE(list.empty());
    EXPECT_EQ(list.front(), "localhost");
    for (std::size_t i = 1; i < list.size(); ++i) {
        SCOPED_TRACE(list[i]);
        EXPECT_NE(list[i], "127.0.0.1");
        in_addr parsed{};
        EXPECT_EQ(::inet_pton(AF_INET, list[i].c_str(), &parsed), 1);
    }
}

}  // namespace
}  // namespace vorn::monitor
