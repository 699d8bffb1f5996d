#include "monitor/OSCClientPool.h"

#include "../udp/SocketTesting.h"
#include "osc/OSCMessage.h"

#include <gtest/gtest.h>

#include <set>

namespace vorn::monitor {
namespace {

// Each case: pool size, then the positions that successive calls hand out.
TEST(OSCClientPoolTest, HandsOutClientsInStrictRotation) {
    struct Case {
        std::size_t count;
        std::vector<std::size_t> positions;
    };
    const Case cases[] = {{10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0}}, {1, {0, 0, 0}}, {3, {0, 1, 2, 0, 1}}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.count);
        OSCClientPool pool(test.count);
        ASSERT_EQ(pool.clients().size(), test.count);
        for (const auto position : test.positions) EXPECT_EQ(pool.nextClient(), pool.clients()[position]);
    }
}

TEST(OSCClientPoolTest, EmptyPoolHandsOutNothing) {
    OSCClientPool pool(0);
    EXPECT_EQ(pool.nextClient(), nullptr);
}

// What the rotation is for: successive pings leave from different ports.
TEST(OSCClientPoolTest, SuccessiveClientsSendFromDifferentPorts) {
    udp::testing::Peer peer(AF_INET);
    ASSERT_TRUE(peer.ok());
    OSCClientPool pool(3);
    std::set<std::uint16_t> ports;
    for (int i = 0; i < 3; ++i) {
        const auto client = pool.nextClient();
        EXPECT_FALSE(client->isStarted());
        client->send(osc::OSCMessage("/eos/ping"), "127.0.0.1", peer.port());
        std::uint16_t from = 0;
        ASSERT_TRUE(peer.receive(&from));
        ports.insert(from);
    }
    EXPECT_EQ(ports.size(), 3u);
}

}  // namespace
}  // namespace vorn::monitor
