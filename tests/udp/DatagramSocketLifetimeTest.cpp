#include "udp/DatagramSocket.h"

#include "SocketTesting.h"

#include "dispatch/ConcurrentQueue.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vorn::udp {
namespace {

using namespace testing;

using Kind = Report::Kind;

// Tells when a socket is gone: it keeps its user data until it is destroyed.
class Farewell {
public:
    explicit Farewell(DatagramSocket& socket) { socket.setUserData(std::make_shared<Marker>(gone_)); }
    [[nodiscard]] bool wait() const { return gone_->wait(); }

private:
    struct Marker {
        explicit Marker(std::shared_ptr<Event> gone) : gone(std::move(gone)) {}
        ~Marker() { gone->arrive(); }
        std::shared_ptr<Event> gone;
    };
    std::shared_ptr<Event> gone_ = std::make_shared<Event>();
};

// Lets go of the test's reference and waits until the socket is gone. A
// callback that is still running may hold the last reference, so the end may
// come on another thread; the socket queue then still has the descriptors'
// cancel handlers to run.
void letGo(std::shared_ptr<DatagramSocket>& socket, dispatch::SerialQueue& socketQueue) {
    const Farewell farewell(*socket);
    socket.reset();
    EXPECT_TRUE(farewell.wait()) << "the socket outlived its last reference";
    socketQueue.sync([] {});
}

// Whatever the process opens for good on first use (the resolver, say) is
// opened before any counting.
void warmUp() {
    auto socketQueue = dispatch::SerialQueue::create("test.warm-up");
    Harness harness(nullptr, socketQueue);
    Peer peer(AF_INET);
    SocketError error;
    ASSERT_TRUE(harness.socket->bindToPort(0, &error)) << ::testing::PrintToString(error);
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    harness.socket->sendData(bytes("warm"), "127.0.0.1", peer.port(), 1, 1);
    ASSERT_EQ(peer.receive(), "warm");
    letGo(harness.socket, *socketQueue);
}

TEST(DatagramSocketLifetime, ClosingAndDestroyingReleaseEveryDescriptor) {
    warmUp();
    const auto before = openSocketCount();
    Peer peer(AF_INET);
    SocketError error;
    auto socketQueue = dispatch::SerialQueue::create("test.socket");
    Harness harness(nullptr, socketQueue);
    auto& socket = *harness.socket;
    ASSERT_TRUE(socket.bindToPort(0, &error)) << ::testing::PrintToString(error);
    ASSERT_TRUE(socket.beginReceiving(&error));
    EXPECT_EQ(openSocketCount(), before + 3);
    socket.close();
    EXPECT_EQ(openSocketCount(), before + 1);

    // Opened again by a send, then destroyed while receiving.
    socket.sendData(bytes("x"), "127.0.0.1", peer.port(), -1, 1);
    EXPECT_EQ(peer.receive(), "x");
    ASSERT_TRUE(socket.beginReceiving(&error));
    letGo(harness.socket, *socketQueue);
    EXPECT_EQ(openSocketCount(), before + 1);
}

TEST(DatagramSocketLifetime, DestroyingWithSendsPendingReleasesEveryDescriptorAndReportsNoSend) {
    warmUp();
    const auto before = openSocketCount();
    auto system = std::make_shared<FaultySystemCalls>();
    auto gate = std::make_shared<Event>();
    system->resolve("gate.test", "127.0.0.1", gate);
    Peer peer(AF_INET);
    auto socketQueue = dispatch::SerialQueue::create("test.socket");
    Harness harness(system, socketQueue);
    // The current send waits for buffer space with its write readiness
    // watched; more wait behind it, some still in the resolver.
    system->failSendto(EAGAIN);
    harness.socket->sendData(bytes("stuck"), "127.0.0.1", peer.port(), -1, 1);
    for (int tag = 2; tag <= 5; ++tag) {
        harness.socket->sendData(bytes("queued"), tag % 2 == 0 ? "127.0.0.1" : "gate.test", peer.port(), -1, tag);
    }
    harness.socket->performBlock([] {});
    letGo(harness.socket, *socketQueue);
    EXPECT_EQ(openSocketCount(), before + 1);
    gate->arrive();

    harness.delegateQueue->sync([] {});
    for (const auto& report : harness.delegate->reports()) {
        EXPECT_NE(report.kind, Kind::sent) << report.tag;
        EXPECT_NE(report.kind, Kind::notSent) << report.tag;
    }
}

TEST(DatagramSocketLifetime, FailedBindsAndCreationsReleaseEveryDescriptor) {
    warmUp();
    struct Case {
        const char* name;
        std::function<void(FaultySystemCalls&)> fault;
        int code;
        const char* reason;  // null: the reason is the implementation's
    };
    const std::vector<Case> cases = {
        {"no IPv6 socket", [](FaultySystemCalls& s) { s.failSocket(AF_INET6, EMFILE); }, EMFILE,
         "Error in socket() function"},
        {"no IPv4 socket", [](FaultySystemCalls& s) { s.failSocket(AF_INET, ENFILE); }, ENFILE,
         "Error in socket() function"},
        {"IPv6 only refused", [](FaultySystemCalls& s) { s.failSetsockopt(IPPROTO_IPV6, IPV6_V6ONLY, EPERM); },
         EPERM, nullptr},
        {"IPv6 bind refused", [](FaultySystemCalls& s) { s.failBind(AF_INET6, EACCES); }, EACCES,
         "Error in bind() function"},
        {"IPv4 bind refused", [](FaultySystemCalls& s) { s.failBind(AF_INET, EADDRNOTAVAIL); }, EADDRNOTAVAIL,
         "Error in bind() function"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto before = openSocketCount();
        {
            Harness harness(std::make_shared<FaultySystemCalls>());
            c.fault(*harness.system);
            SocketError error;
            EXPECT_FALSE(harness.socket->bindToPort(0, &error));
            EXPECT_EQ(error.domain, POSIXErrorDomain);
            EXPECT_EQ(error.code, c.code);
            if (c.reason != nullptr) {
                EXPECT_EQ(error.failureReason, c.reason);
            }
            EXPECT_TRUE(harness.socket->isClosed());
            EXPECT_EQ(openSocketCount(), before);
        }
        EXPECT_EQ(openSocketCount(), before);
    }

    // A send that cannot create its descriptors closes the socket with the
    // creation error and reports no send.
    const auto before = openSocketCount();
    Harness harness(std::make_shared<FaultySystemCalls>());
    harness.system->failSocket(AF_INET6, EMFILE);
    harness.socket->sendData(bytes("never"), "127.0.0.1", 9, -1, 1);
    harness.socket->sendData(bytes("never"), "127.0.0.1", 9, -1, 2);
    harness.settle();
    for (const auto& report : harness.delegate->reports()) EXPECT_NE(report.kind, Kind::sent) << report.tag;
    EXPECT_EQ(openSocketCount(), before);
}

TEST(DatagramSocketLifetime, WithoutIPv6SupportTheSocketWorksOverIPv4Alone) {
    warmUp();
    const auto before = openSocketCount();
    Peer peer(AF_INET);
    auto socketQueue = dispatch::SerialQueue::create("test.socket");
    Harness harness(std::make_shared<FaultySystemCalls>(), socketQueue);
    harness.system->failSocket(AF_INET6, EAFNOSUPPORT);
    {
        auto& socket = *harness.socket;
        SocketError error;
        ASSERT_TRUE(socket.bindToPort(0, &error)) << ::testing::PrintToString(error);
        EXPECT_TRUE(socket.isIPv4());
        EXPECT_FALSE(socket.isIPv6());
        EXPECT_NE(socket.localPort(), 0);
        ASSERT_TRUE(socket.beginReceiving(&error));
        ASSERT_TRUE(peer.sendTo(socket.localPort(), "in"));
        EXPECT_EQ(harness.delegate->waitForData(1), std::vector<std::string>{"in"});
        socket.sendData(bytes("out"), "localhost", peer.port(), -1, 1);
        EXPECT_EQ(peer.receive(), "out");
        socket.close();

        // Opened by a first send as well.
        socket.sendData(bytes("again"), "127.0.0.1", peer.port(), -1, 2);
        EXPECT_EQ(peer.receive(), "again");
        EXPECT_EQ(summary(harness.delegate->waitFor(4)), "received in, sent 1, closed, sent 2");
    }
    letGo(harness.socket, *socketQueue);
    EXPECT_EQ(openSocketCount(), before + 1);
}

// Destroys `socket` on a thread of its own and waits until that is done.
void destroyElsewhere(std::shared_ptr<DatagramSocket> socket) {
    Event done;
    std::thread destroyer([&done, s = std::move(socket)]() mutable {
        s.reset();
        done.arrive();
    });
    EXPECT_TRUE(done.wait()) << "destruction hangs";
    destroyer.join();
}

TEST(DatagramSocketLifetime, DestroyingFromAnotherThreadWhileReceivingIsSafe) {
    Harness harness;
    const Farewell farewell(*harness.socket);
    SocketError error;
    ASSERT_TRUE(harness.socket->bindToPort(0, std::string("127.0.0.1"), &error)) << ::testing::PrintToString(error);
    ASSERT_TRUE(harness.socket->beginReceiving(&error));
    const auto port = harness.socket->localPort();
    Peer peer(AF_INET);
    ASSERT_TRUE(peer.sendTo(port, "first"));
    ASSERT_EQ(harness.delegate->waitForData(1).size(), 1u);

    std::thread sender([&] {
        for (int i = 0; i < 2000; ++i) (void)peer.sendTo(port, "burst");
    });
    harness.delegate->waitForData(20);
    destroyElsewhere(std::move(harness.socket));
    sender.join();
    EXPECT_TRUE(farewell.wait()) << "something still holds the socket";
}

TEST(DatagramSocketLifetime, DestroyingFromAnotherThreadWhileSendingIsSafe) {
    Harness harness;
    const Farewell farewell(*harness.socket);
    Peer peer(AF_INET);
    for (int tag = 0; tag < 500; ++tag) {
        harness.socket->sendData(bytes("burst"), tag % 2 == 0 ? "127.0.0.1" : "localhost", peer.port(), -1, tag);
    }
    harness.delegate->waitFor(10);
    destroyElsewhere(std::move(harness.socket));
    EXPECT_TRUE(farewell.wait()) << "something still holds the socket";

    // Whatever finished before the end was reported in order, and only once.
    harness.delegateQueue->sync([] {});
    std::int64_t expected = 0;
    for (const auto& report : harness.delegate->reports()) {
        if (report.kind == Kind::sent) {
            EXPECT_EQ(report.tag, expected++);
        } else {
            EXPECT_EQ(report.kind, Kind::closed);
        }
    }
}

TEST(DatagramSocketLifetime, DestroyingFromInsideItsOwnCallbackIsSafe) {
    struct Case {
        const char* name;
        Kind trigger;
        // Which delegate queue; null: the socket queue itself.
        std::function<std::shared_ptr<dispatch::Queue>()> delegateQueue;
    };
    const auto serial = [] { return std::shared_ptr<dispatch::Queue>(dispatch::SerialQueue::create("test.delegate")); };
    const auto pool = [] { return dispatch::globalQueue(dispatch::QualityOfService::standard); };
    const auto none = [] { return std::shared_ptr<dispatch::Queue>(); };
    const std::vector<Case> cases = {
        {"receiving, serial delegate queue", Kind::received, serial},
        {"receiving, delegate on the socket queue", Kind::received, none},
        {"receiving, delegate on a pool", Kind::received, pool},
        {"sending, serial delegate queue", Kind::sent, serial},
        {"sending, delegate on the socket queue", Kind::sent, none},
        {"sending, delegate on a pool", Kind::sent, pool},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto socketQueue = dispatch::SerialQueue::create("test.socket");
        std::shared_ptr<dispatch::Queue> delegateQueue = c.delegateQueue();
        if (!delegateQueue) delegateQueue = socketQueue;
        auto delegate = std::make_shared<RecordingDelegate>();
        auto system = std::make_shared<FaultySystemCalls>();
        auto gate = std::make_shared<Event>();
        system->resolve("gate.test", "127.0.0.1", gate);
        auto socket = DatagramSocket::create(delegate, delegateQueue, socketQueue, system);
        // Owners often hand the socket a queue and forget it: the socket may
        // hold the last reference to the queue its destruction runs on.
        delegateQueue.reset();
        const Farewell farewell(*socket);

        // From here on the delegate holds the only reference, and lets go of
        // it in the first callback of the chosen kind.
        auto owner = std::make_shared<std::shared_ptr<DatagramSocket>>(socket);
        auto released = std::make_shared<std::atomic<bool>>(false);
        delegate->onReport = [owner, released, trigger = c.trigger](const Report& report) {
            if (report.kind == trigger && !released->exchange(true)) owner->reset();
        };
        Peer peer(AF_INET);
        SocketError error;
        if (c.trigger == Kind::received) {
            ASSERT_TRUE(socket->bindToPort(0, std::string("127.0.0.1"), &error)) << ::testing::PrintToString(error);
            ASSERT_TRUE(socket->beginReceiving(&error));
            const auto port = socket->localPort();
            socket.reset();
            for (int i = 0; i < 20; ++i) ASSERT_TRUE(peer.sendTo(port, "ping"));
        } else {
            // Nothing is sent before the test has let go.
            for (int tag = 0; tag < 20; ++tag) socket->sendData(bytes("ping"), "gate.test", peer.port(), -1, tag);
            socket.reset();
        }
        gate->arrive();
        EXPECT_TRUE(farewell.wait()) << "the socket outlived its last reference";
        EXPECT_TRUE(released->load());
    }
}

}  // namespace
}  // namespace vorn::udp
