// What a hostile peer on loopback can make an OSCServer hold, in resident
// memory (VmRSS and its peak VmHWM from /proc/self/status):
//
//   held:  300 bundles of 65,400 nil arguments each, dated an hour ahead, to a
//          server in mode osc1_0 on a receive queue of the caller's; then the
//          server is released while the queue lives on.
//   flood: a 5 s stream of 1 KB messages, as fast as one sender can go, past
//          a handler that works 50 µs per message; then, once the handler has
//          caught up, one more message must still arrive.
//
// Each part runs in a child process of its own, so that each peak is its own.
// Usage: bench-hostile [held|flood]   (both otherwise)

#include "net/OSCServer.h"
#include "net/OSCServerUDPDelegate.h"
#include "osc/OSCBundle.h"
#include "osc/OSCMessage.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace vorn;
using Clock = std::chrono::steady_clock;

// Kibibytes of the /proc/self/status line `key` ("VmRSS", "VmHWM").
long statusKiB(std::string_view key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.starts_with(key) && line.size() > key.size() && line[key.size()] == ':') {
            return std::stol(line.substr(key.size() + 1));
        }
    }
    return -1;
}

double mib(long kib) {
    return static_cast<double>(kib) / 1024.0;
}

// A plain sender on 127.0.0.1.
class Sender {
public:
    explicit Sender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM, 0)) {
        to_.sin_family = AF_INET;
        to_.sin_port = htons(port);
        to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~Sender() { ::close(fd_); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    bool send(const SharedBytes& data) const {
        return ::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof to_) ==
               static_cast<ssize_t>(data.size());
    }

private:
    int fd_;
    sockaddr_in to_{};
};

template <class Done>
bool waitUntil(Done done, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

int held() {
    constexpr int bundles = 300;
    constexpr int arguments = 65400;
    const auto queue = dispatch::SerialQueue::create("bench.receive");
    std::atomic<long> deliveredAtOnce{0};
    auto server = net::OSCServer::create(0, net::OSCTimeTagMode::osc1_0, queue,
                                         [&](const auto&, const auto&, const auto&, auto) { ++deliveredAtOnce; });
    server->start();
    auto delegate =
        std::dynamic_pointer_cast<net::OSCServerUDPDelegate>(server->udpSocket()->delegate().lock());
    const auto heldNow = [&] { return queue->syncResult([&] { return delegate->heldBundles(); }); };
    const auto datagram =
        osc::OSCBundle({osc::OSCMessage("/n", std::vector<osc::OSCValue>(arguments, osc::OSCNullValue{}))},
                       osc::OSCTimeTag::fromSecondsFromNow(3600))
            .rawData();
    Sender sender(server->boundPort());
    const long before = statusKiB("VmRSS");
    int lost = 0;
    for (int i = 1; i <= bundles; ++i) {
        // One at a time, so that the kernel's buffer never drops one.
        sender.send(datagram);
        lost += waitUntil([&] { return static_cast<long>(heldNow()) + deliveredAtOnce.load() >= i - lost; },
                          std::chrono::milliseconds(2000))
                    ? 0
                    : 1;
    }
    const long after = statusKiB("VmRSS");
    const auto heldBundles = heldNow();
    const auto heldBytes = queue->syncResult([&] { return delegate->heldBytes(); });
    delegate.reset();
    server.reset();
    queue->sync([] {});
    ::malloc_trim(0);
    const long released = statusKiB("VmRSS");
    std::printf("held: %d bundles of %zu bytes (%d nil arguments), one hour ahead; %zu held (%.1f MiB of datagrams), "
                "%ld delivered at once, %d lost\n",
                bundles, datagram.size(), arguments, heldBundles, static_cast<double>(heldBytes) / (1 << 20),
                deliveredAtOnce.load(), lost);
    std::printf("held: VmRSS %.1f MiB before, %.1f MiB with the bundles held (+%.1f), peak VmHWM %.1f MiB; "
                "%.1f MiB once the server is released (queue still alive)\n",
                mib(before), mib(after), mib(after - before), mib(statusKiB("VmHWM")), mib(released));
    return 0;
}

int flood() {
    constexpr auto floodTime = std::chrono::seconds(5);
    constexpr auto handlerWork = std::chrono::microseconds(50);
    std::atomic<long> handled{0};
    std::atomic<bool> markerSeen{false};
    auto server = net::OSCServer::create(0, net::OSCTimeTagMode::ignore, nullptr,
                                         [&](const osc::OSCMessage& message, const auto&, const auto&, auto) {
                                             if (message.addressPattern().rawAddress() == "/after") {
                                                 markerSeen = true;
                                                 return;
                                             }
                                             // Work, not sleep: a sleep of 50 µs takes longer.
                                             const auto until = Clock::now() + handlerWork;
                                             while (Clock::now() < until) {
                                             }
                                             ++handled;
                                         });
    server->start();
    // About a kilobyte each, as a console's larger messages are.
    const auto datagram =
        osc::OSCMessage("/eos/out/param/intensity", {std::int32_t{42}, 0.5f, SharedBytes::copy(std::string(1000, 'x'))})
            .rawData();
    Sender sender(server->boundPort());
    const long before = statusKiB("VmRSS");
    std::atomic<bool> flooding{true};
    long sent = 0;
    std::thread flooder([&] {
        const auto end = Clock::now() + floodTime;
        while (Clock::now() < end) sent += sender.send(datagram) ? 1 : 0;
        flooding = false;
    });
    long peak = before;
    while (flooding) {
        peak = std::max(peak, statusKiB("VmRSS"));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    flooder.join();
    // Caught up: nothing more reaches the handler for a while.
    const auto floodEnd = Clock::now();
    for (long last = -1; handled.load() != last;) {
        last = handled.load();
        peak = std::max(peak, statusKiB("VmRSS"));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    const double catchUp = std::chrono::duration<double>(Clock::now() - floodEnd).count() - 0.2;
    sender.send(osc::OSCMessage("/after").rawData());
    const bool readsAgain = waitUntil([&] { return markerSeen.load(); }, std::chrono::milliseconds(2000));
    std::printf("flood: %ld datagrams of %zu bytes sent in 5 s, %ld handled (50 us each), handler caught up %.1f s "
                "after the flood; a later message %s\n",
                sent, datagram.size(), handled.load(), catchUp, readsAgain ? "arrived" : "DID NOT ARRIVE");
    std::printf("flood: VmRSS %.1f MiB before, peak %.1f MiB during (+%.1f), peak VmHWM %.1f MiB\n", mib(before),
                mib(peak), mib(peak - before), mib(statusKiB("VmHWM")));
    return readsAgain ? 0 : 1;
}

int inChild(int (*part)()) {
    std::fflush(stdout);
    const pid_t child = ::fork();
    if (child == 0) {
        const int code = part();
        std::fflush(stdout);
        std::_Exit(code);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string_view which = argc > 1 ? argv[1] : "";
    // Anything else (make bench passes benchmark options to every program) runs both.
    const bool both = which != "held" && which != "flood";
    int failures = 0;
    if (both || which == "held") failures += inChild(held);
    if (both || which == "flood") failures += inChild(flood);
    return failures == 0 ? 0 : 1;
}
