#include "udp/FreePort.h"

#include "support/SocketTesting.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace vorn::udp;
using namespace vorn::udp::testing;

// Searching from a held port finds the next free one after it: a port held on
// either family is taken, and so is the one the caller excepted. Without
// IPv6 the search goes on over IPv4 alone; without sockets it finds nothing.
TEST(FreePort, PassesOverHeldAndExceptedPortsOnEitherFamily) {
    for (const int family : {AF_INET, AF_INET6}) {
        SCOPED_TRACE(loopbackHost(family));
        const Peer held(family);
        ASSERT_TRUE(held.ok());
        const auto except = static_cast<std::uint16_t>(held.port() + 1);
        const auto found = freePort(held.port(), except);
        EXPECT_GT(found, except);
        EXPECT_LT(found, held.port() + 100);
    }

    FaultySystemCalls system;
    const Peer held(AF_INET);
    ASSERT_TRUE(held.ok());
    system.failSocket(AF_INET6, EAFNOSUPPORT);
    EXPECT_GT(freePort(held.port(), 0, system), held.port());
    EXPECT_NE(freePort(0, 0, system), 0);
    system.failSocket(AF_INET, EAFNOSUPPORT);
    EXPECT_EQ(freePort(0, 0, system), 0);
    EXPECT_EQ(freePort(held.port(), 0, system), 0);

    // Only a host without IPv6 falls back: any other failure finds nothing.
    FaultySystemCalls full;
    full.failSocket(AF_INET6, EMFILE);
    EXPECT_EQ(freePort(0, 0, full), 0);
}

}  // namespace
