#include "dispatch/ReadinessSource.h"

#include "Waiting.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using vorn::dispatch::ReadinessSource;
using vorn::dispatch::SerialQueue;
using namespace vorn::dispatch::testing;

namespace {

using Kind = ReadinessSource::Kind;

// Two connected non-blocking datagram sockets: `near` is watched, `far`
// talks to it.
struct SocketPair {
    int near = -1;
    int far = -1;

    static SocketPair local() {
        SocketPair pair;
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, fds) == 0) {
            pair.near = fds[0];
            pair.far = fds[1];
        }
        return pair;
    }

    static SocketPair udp() {
        SocketPair pair;
        pair.near = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        pair.far = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        auto* generic = reinterpret_cast<sockaddr*>(&address);
        socklen_t length = sizeof address;
        for (int fd : {pair.near, pair.far}) {
            address.sin_port = 0;
            ::bind(fd, generic, sizeof address);
        }
        ::getsockname(pair.near, generic, &length);
        ::connect(pair.far, generic, length);
        ::getsockname(pair.far, generic, &length);
        ::connect(pair.near, generic, length);
        return pair;
    }

    SocketPair() = default;
    SocketPair(SocketPair&& other) noexcept : near(std::exchange(other.near, -1)), far(std::exchange(other.far, -1)) {}
    ~SocketPair() {
        for (int fd : {near, far}) {
            if (fd >= 0) ::close(fd);
        }
    }
};

bool isOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1;
}

void send(int fd, const std::string& text) {
    ASSERT_EQ(::send(fd, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
}

std::optional<std::string> receive(int fd) {
    char buffer[2048];
    const auto length = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (length < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(length));
}

class ReadinessSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(isOpen(sockets_.near) && isOpen(sockets_.far)); }

    // Waits for a marker that trails `window` behind whatever is queued now:
    // an event that was going to come has had every chance to.
    void letTimePass() {
        Event passed;
        queue_->asyncAfter(30ms, [&] { passed.arrive(); });
        ASSERT_TRUE(passed.wait());
    }

    SocketPair sockets_ = SocketPair::local();
    int near_ = sockets_.near;
    int far_ = sockets_.far;
    // Declared last, so it is gone before the state its tasks touch.
    std::shared_ptr<SerialQueue> queue_ = SerialQueue::create("test.readiness");
};

TEST_F(ReadinessSourceTest, ReportsEachWaitingDatagramsSizeOnLocalAndUdpSockets) {
    for (auto make : {&SocketPair::local, &SocketPair::udp}) {
        SocketPair pair = make();
        std::vector<std::size_t> estimates;
        std::vector<std::size_t> sizes;
        Countdown threeReceived(3);
        auto source = std::make_unique<ReadinessSource>(queue_, pair.near, Kind::read);
        for (const auto* text : {"hello", "", "a longer datagram"}) send(pair.far, text);
        queue_->sync([&] {
            EXPECT_TRUE(source->isSuspended());
            source->setEventHandler([&](std::size_t estimate) {
                estimates.push_back(estimate);
                if (auto datagram = receive(pair.near)) {
                    sizes.push_back(datagram->size());
                    threeReceived.arrive();
                }
            });
            source->resume();
        });
        ASSERT_TRUE(threeReceived.wait());
        letTimePass();
        queue_->sync([&] {
            // One event per datagram, the empty one included, and none once
            // the socket is drained.
            EXPECT_EQ(sizes, (std::vector<std::size_t>{5, 0, 17}));
            EXPECT_EQ(estimates, sizes);
            source.reset();
        });
        EXPECT_TRUE(isOpen(pair.near));
    }
}

TEST_F(ReadinessSourceTest, KeepsReportingUntilDrainedOrSuspended) {
    int events = 0;
    Event suspended;
    Event drained;
    auto source = std::make_unique<ReadinessSource>(queue_, near_, Kind::read);
    send(far_, "unread");
    queue_->sync([&] {
        // Not reading: the same datagram is reported again and again.
        source->setEventHandler([&](std::size_t) {
            if (++events == 3) {
                source->suspend();
                suspended.arrive();
            }
        });
        source->resume();
    });
    ASSERT_TRUE(suspended.wait());
    letTimePass();
    queue_->sync([&] {
        EXPECT_EQ(events, 3);
        source->setEventHandler([&](std::size_t estimate) {
            EXPECT_EQ(estimate, 6u);
            EXPECT_EQ(receive(near_), "unread");
            drained.arrive();
        });
        source->resume();
    });
    EXPECT_TRUE(drained.wait());
    queue_->sync([&] { source.reset(); });
}

TEST_F(ReadinessSourceTest, CancelStopsEventsAndRunsTheCancelHandlerOnceHoweverItComes) {
    int events = 0;
    Countdown cancelled(3);
    auto firing = std::make_unique<ReadinessSource>(queue_, near_, Kind::read);
    auto suspended = std::make_unique<ReadinessSource>(queue_, far_, Kind::write);
    auto destroyed = std::make_unique<ReadinessSource>(queue_, far_, Kind::read);
    send(far_, "never read");
    queue_->sync([&] {
        firing->setEventHandler([&](std::size_t) {
            ++events;
            firing->cancel();
            firing->cancel();
        });
        for (auto* source : {firing.get(), suspended.get(), destroyed.get()}) {
            source->setCancelHandler([&] {
                EXPECT_TRUE(queue_->isCurrent());
                cancelled.arrive();
            });
        }
        destroyed->setEventHandler([](std::size_t) {});
        destroyed->resume();
        firing->resume();
        suspended->cancel();
    });
    // Destroyed off the queue with a wait outstanding: the destructor returns
    // once the queue has let go of the descriptor.
    destroyed.reset();
    ASSERT_TRUE(cancelled.wait());
    letTimePass();
    queue_->sync([&] {
        EXPECT_EQ(events, 1);
        EXPECT_TRUE(firing->isCancelled());
        firing->resume();  // no effect any more
        firing.reset();
        suspended.reset();
    });
    EXPECT_TRUE(isOpen(near_) && isOpen(far_));
    EXPECT_THROW(ReadinessSource(queue_, -1, Kind::read), std::system_error);
}

TEST_F(ReadinessSourceTest, ReadAndWriteSourcesShareOneDescriptor) {
    auto reader = std::make_unique<ReadinessSource>(queue_, near_, Kind::read);
    auto writer = std::make_unique<ReadinessSource>(queue_, near_, Kind::write);
    std::vector<std::string> heard;
    Event wrote;
    Countdown twoHeard(2);
    queue_->sync([&] {
        reader->setEventHandler([&](std::size_t) {
            if (auto datagram = receive(near_)) {
                heard.push_back(*datagram);
                twoHeard.arrive();
            }
        });
        writer->setEventHandler([&](std::size_t room) {
            EXPECT_GT(room, 0u);
            send(near_, "ping");
            writer->suspend();
            wrote.arrive();
        });
        reader->resume();
        writer->resume();
    });
    ASSERT_TRUE(wrote.wait());
    EXPECT_EQ(receive(far_), "ping");
    send(far_, "pong");
    // Cancelling the writer leaves the reader listening.
    queue_->sync([&] { writer.reset(); });
    send(far_, "pong again");
    ASSERT_TRUE(twoHeard.wait());
    queue_->sync([&] {
        EXPECT_EQ(heard, (std::vector<std::string>{"pong", "pong again"}));
        reader.reset();
    });
}

}  // namespace
