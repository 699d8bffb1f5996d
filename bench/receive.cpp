// How many messages a second a receiver takes from the kernel to its handler:
// our OSCServer beside liblo's server, a plain recvfrom loop and a plain
// recvmmsg loop reading 64 at a time (the ceiling), and our OSCTCPServer with OSC 1.0 framing over one loopback connection.
//
// A sender on the same machine is slower than any of them, so timing a live
// stream would time the sender. Instead each round fills the receiver's
// kernel buffer first, with receiving paused and the buffer made large, and
// then times only the drain: from the moment receiving starts until the
// handler has seen every message that the kernel kept. Messages the kernel
// dropped (a buffer smaller than asked for) are counted out, not waited for.
//
// After the usual report comes a table of messages per second and
// nanoseconds per message for each receiver, and each one's rate beside
// liblo's and the two plain loops'.
//
// A stream cannot be filled ahead and then drained: the kernel stops the
// sender once the connection's buffers are full. The TCP round is timed from
// the first byte written until the handler has seen the last message, the
// sender writing on the arrival core as fast as the server reads. Wall time, because the drain of our server
// spans threads; on a shared machine that time also counts other processes.

#include "net/OSCServer.h"
#include "net/OSCStreamFraming.h"
#include "net/OSCTCPServer.h"
#include "osc/OSCMessage.h"
#include "osc/OSCMessageView.h"
#include "udp/DatagramSocket.h"

#include "TableReporter.h"

#include <benchmark/benchmark.h>
#include <lo/lo.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* typicalAddress = "/eos/out/param/intensity";
constexpr std::int32_t typicalInt = 42;
constexpr float typicalFloat = 0.5f;
// About 830 bytes of kernel memory each on loopback, so a round fits twice
// over into the 16 MiB that an 8 MiB request gets.
constexpr int messagesPerRound = 10000;
constexpr int requestedReceiveBuffer = 8 << 20;
constexpr int roundsPerRun = 20;

const std::vector<std::uint8_t>& typicalDatagram() {
    static const auto bytes = vorn::osc::OSCMessage(typicalAddress, {typicalInt, typicalFloat}).rawData().toVector();
    return bytes;
}

// A large receive buffer: the privileged option first, which passes over
// net.core.rmem_max, then the ordinary one, which the kernel caps there.
void enlargeReceiveBuffer(int fd) {
    int size = requestedReceiveBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

// Datagrams the kernel has dropped for want of room in `fd`'s buffer.
std::uint32_t drops(int fd) {
    std::uint32_t info[SK_MEMINFO_VARS]{};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &length) != 0) return 0;
    return info[SK_MEMINFO_DROPS];
}

std::uint16_t boundPort(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// On a real link datagrams come in on the core that takes the network card's
// interrupt, seldom the one that reads them, and the kernel frees a packet's
// memory on the core that allocated it, at a price that the reading core
// pays. So every receiver's reading thread runs on one core and the sender
// on the other: sending from the reading thread itself would spare the plain
// loop and liblo that price and charge it to any receiver that reads on a
// thread of its own.
constexpr int arrivalCore = 0;
constexpr int readingCore = 1;

bool twoCores() {
    return std::thread::hardware_concurrency() >= 2;
}

// Keeps the calling thread on `core` for its lifetime, then lets it run
// where it ran before. Does nothing on a single core.
class Pinned {
public:
    explicit Pinned(int core) {
        if (!twoCores() || ::pthread_getaffinity_np(::pthread_self(), sizeof before_, &before_) != 0) return;
        cpu_set_t only;
        CPU_ZERO(&only);
        CPU_SET(core, &only);
        pinned_ = ::pthread_setaffinity_np(::pthread_self(), sizeof only, &only) == 0;
    }
    ~Pinned() {
        if (pinned_) ::pthread_setaffinity_np(::pthread_self(), sizeof before_, &before_);
    }
    Pinned(const Pinned&) = delete;
    Pinned& operator=(const Pinned&) = delete;

private:
    cpu_set_t before_{};
    bool pinned_ = false;
};

// The plain socket that fills a receiver's buffer from 127.0.0.1, on the
// arrival core.
class Sender {
public:
    explicit Sender(std::uint16_t port) : fd_(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot open the sending socket");
    }
    ~Sender() { ::close(fd_); }
    Sender(const Sender&) = delete;
    Sender& operator=(const Sender&) = delete;

    // Sends a round and returns how many of it the receiver `fd` kept.
    int fill(int receiverFD) const {
        const auto droppedBefore = drops(receiverFD);
        bool failed = false;
        std::thread([&] {
            const Pinned onArrivalCore(arrivalCore);
            const auto& datagram = typicalDatagram();
            for (int i = 0; i < messagesPerRound && !failed; ++i) {
                failed = ::send(fd_, datagram.data(), datagram.size(), 0) < 0;
            }
        }).join();
        if (failed) throw std::runtime_error("send failed");
        return messagesPerRound - static_cast<int>(drops(receiverFD) - droppedBefore);
    }

private:
    int fd_;
};

struct Totals {
    double seconds = 0;
    std::int64_t messages = 0;

    void add(Clock::duration drain, int count) {
        seconds += std::chrono::duration<double>(drain).count();
        messages += count;
    }
    void report(benchmark::State& state) const {
        if (messages == 0) return;
        state.counters["msgs_per_s"] = static_cast<double>(messages) / seconds;
        state.counters["ns_per_msg"] = seconds * 1e9 / static_cast<double>(messages);
    }
};

// ---------------------------------------------------------------- plain

// A UDP socket bound to an ephemeral loopback port with the large receive
// buffer, for the plain loops; -1 (and the run marked skipped) when it
// cannot be had.
int boundReceiver(benchmark::State& state) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot bind the receiving socket");
        if (fd >= 0) ::close(fd);
        return -1;
    }
    enlargeReceiveBuffer(fd);
    return fd;
}

void receivePlain(benchmark::State& state) {
    const int fd = boundReceiver(state);
    if (fd < 0) return;
    Sender sender(boundPort(fd));
    const Pinned onReadingCore(readingCore);
    Totals totals;
    std::uint8_t buffer[65536];
    for (auto _ : state) {
        const int expected = sender.fill(fd);
        const auto start = Clock::now();
        for (int received = 0; received < expected;) {
            sockaddr_storage from{};
            socklen_t length = sizeof from;
            if (::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length) > 0) ++received;
        }
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        totals.add(elapsed, expected);
    }
    totals.report(state);
    ::close(fd);
}

// The plain loop again, 64 datagrams a call: what a receiver that reads in
// batches can reach, with no handler and no hand-over between threads.
void receiveBatched(benchmark::State& state) {
    constexpr unsigned int batch = 64;
    constexpr std::size_t slot = 2048;
    const int fd = boundReceiver(state);
    if (fd < 0) return;
    Sender sender(boundPort(fd));
    const Pinned onReadingCore(readingCore);
    Totals totals;
    std::vector<std::uint8_t> buffers(batch * slot);
    std::vector<iovec> vectors(batch);
    std::vector<sockaddr_storage> senders(batch);
    std::vector<mmsghdr> headers(batch);
    for (auto _ : state) {
        const int expected = sender.fill(fd);
        const auto start = Clock::now();
        for (int received = 0; received < expected;) {
            for (unsigned int i = 0; i < batch; ++i) {
                vectors[i] = {buffers.data() + i * slot, slot};
                headers[i] = {};
                headers[i].msg_hdr.msg_name = &senders[i];
                headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_storage);
                headers[i].msg_hdr.msg_iov = &vectors[i];
                headers[i].msg_hdr.msg_iovlen = 1;
            }
            // Whatever waits, up to a batch: without MSG_WAITFORONE the call
            // would wait for a whole batch at the end of a round.
            const int taken = ::recvmmsg(fd, headers.data(), batch, MSG_WAITFORONE, nullptr);
            if (taken > 0) received += taken;
        }
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        totals.add(elapsed, expected);
    }
    totals.report(state);
    ::close(fd);
}

// ---------------------------------------------------------------- liblo

struct LibloCount {
    int received = 0;
    std::int64_t sum = 0;
};

int libloHandler(const char*, const char*, lo_arg** argv, int, lo_message, void* context) {
    auto& count = *static_cast<LibloCount*>(context);
    std::int32_t i = 0;
    float f = 0;
    std::memcpy(&i, &argv[0]->i, sizeof i);
    std::memcpy(&f, &argv[1]->f, sizeof f);
    count.sum += i + static_cast<std::int64_t>(f);
    ++count.received;
    return 0;
}

void receiveLiblo(benchmark::State& state) {
    lo_server server = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
    if (server == nullptr) {
        state.SkipWithError("liblo could not open a server");
        return;
    }
    LibloCount count;
    lo_server_add_method(server, typicalAddress, "if", libloHandler, &count);
    const int fd = lo_server_get_socket_fd(server);
    enlargeReceiveBuffer(fd);
    Sender sender(static_cast<std::uint16_t>(lo_server_get_port(server)));
    const Pinned onReadingCore(readingCore);
    Totals totals;
    for (auto _ : state) {
        const int expected = sender.fill(fd);
        count.received = 0;
        const auto start = Clock::now();
        while (count.received < expected) lo_server_recv(server);
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        totals.add(elapsed, expected);
    }
    benchmark::DoNotOptimize(count.sum);
    totals.report(state);
    lo_server_free(server);
}

// ---------------------------------------------------------------- vorn

// The mode the link monitor runs its server in; osc1_0 costs the same for
// messages outside bundles. The handler reads each message in place, as the
// monitor's does.
void receiveVorn(benchmark::State& state) {
    std::atomic<int> received{0};
    std::atomic<int> expected{0};
    std::atomic<bool> done{false};
    std::int64_t sum = 0;  // on the receive queue only
    auto server = vorn::net::OSCServer::create(
        0, vorn::net::OSCTimeTagMode::ignore, nullptr,
        [&](const vorn::osc::OSCMessageView& message, const vorn::osc::OSCTimeTag&, const std::string&,
            std::uint16_t) {
            auto argument = message.begin();
            sum += (*argument).int32();
            sum += static_cast<std::int64_t>((*++argument).float32());
            if (received.fetch_add(1, std::memory_order_relaxed) + 1 == expected.load(std::memory_order_relaxed)) {
                done.store(true, std::memory_order_release);
                done.notify_one();
            }
        });
    server->start();
    const auto& socket = server->udpSocket();
    int fd = -1;
    socket->performBlock([&] { fd = socket->socket4FD(); });
    enlargeReceiveBuffer(fd);
    // The socket's own thread reads; it stays pinned until the server stops.
    std::unique_ptr<Pinned> onReadingCore;
    socket->performBlock([&] { onReadingCore = std::make_unique<Pinned>(readingCore); });
    Sender sender(server->boundPort());
    Totals totals;
    for (auto _ : state) {
        // Once the socket queue has run the pause, datagrams stay in the kernel.
        socket->pauseReceiving();
        socket->performBlock([] {});
        const int count = sender.fill(fd);
        if (count <= 0) {
            state.SkipWithError("the kernel kept none of the round");
            break;
        }
        received.store(0, std::memory_order_relaxed);
        expected.store(count, std::memory_order_relaxed);
        done.store(false, std::memory_order_relaxed);
        const auto start = Clock::now();
        socket->beginReceiving();
        done.wait(false, std::memory_order_acquire);
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        totals.add(elapsed, count);
    }
    socket->performBlock([&] { onReadingCore.reset(); });
    server->stop();
    server->receiveQueue()->sync([&] { benchmark::DoNotOptimize(sum); });
    totals.report(state);
}

// ---------------------------------------------------------------- vorn over TCP

void receiveVornTCP(benchmark::State& state) {
    std::atomic<int> received{0};
    std::atomic<bool> done{false};
    std::int64_t sum = 0;  // on the receive queue only
    auto server = vorn::net::OSCTCPServer::create(
        0, vorn::net::OSCFraming::lengthPrefixed, vorn::net::OSCTimeTagMode::ignore, nullptr,
        [&](const vorn::osc::OSCMessageView& message, const vorn::osc::OSCTimeTag&, const std::string&,
            std::uint16_t) {
            auto argument = message.begin();
            sum += (*argument).int32();
            sum += static_cast<std::int64_t>((*++argument).float32());
            if (received.fetch_add(1, std::memory_order_relaxed) + 1 == messagesPerRound) {
                done.store(true, std::memory_order_release);
                done.notify_one();
            }
        });
    server->start();
    std::unique_ptr<Pinned> onReadingCore;
    server->receiveQueue()->sync([&] { onReadingCore = std::make_unique<Pinned>(readingCore); });
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server->boundPort());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        state.SkipWithError("cannot connect to the TCP server");
        if (fd >= 0) ::close(fd);
        return;
    }
    std::vector<std::uint8_t> round;
    const auto frame = vorn::net::OSCLengthPrefixedDecoder::encode(typicalDatagram());
    for (int i = 0; i < messagesPerRound; ++i) round.insert(round.end(), frame.begin(), frame.end());
    Totals totals;
    for (auto _ : state) {
        received.store(0, std::memory_order_relaxed);
        done.store(false, std::memory_order_relaxed);
        bool failed = false;
        const auto start = Clock::now();
        std::thread writer([&] {
            const Pinned onArrivalCore(arrivalCore);
            for (std::size_t sent = 0; sent < round.size() && !failed;) {
                const auto n = ::send(fd, round.data() + sent, round.size() - sent, MSG_NOSIGNAL);
                failed = n < 0;
                sent += n > 0 ? static_cast<std::size_t>(n) : 0;
            }
        });
        writer.join();
        if (failed) {
            state.SkipWithError("send failed");
            break;
        }
        done.wait(false, std::memory_order_acquire);
        const auto elapsed = Clock::now() - start;
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
        totals.add(elapsed, messagesPerRound);
    }
    ::close(fd);
    server->receiveQueue()->sync([&] { onReadingCore.reset(); });
    server->stop();
    server->receiveQueue()->sync([&] { benchmark::DoNotOptimize(sum); });
    totals.report(state);
}

// ---------------------------------------------------------------- report

// One line per receiver: its rate, its cost per message, and its rate beside
// liblo's and the plain loops'.
vorn::bench::TableReporter::Figures rateAndCost(const benchmark::BenchmarkReporter::Run& run) {
    const auto rate = run.counters.find("msgs_per_s");
    const auto cost = run.counters.find("ns_per_msg");
    if (rate == run.counters.end() || cost == run.counters.end()) return {};
    return {{"rate", rate->second.value}, {"ns", cost->second.value}};
}

void writeTable(std::ostream& out, const vorn::bench::TableReporter::Table& table) {
    using vorn::bench::TableReporter;
    const double liblo = TableReporter::figure(table, "receive/liblo", "rate");
    const double plain = TableReporter::figure(table, "receive/plain", "rate");
    const double batched = TableReporter::figure(table, "receive/plain-recvmmsg", "rate");
    out << "| receiver | messages/s | ns/message | rate / liblo | rate / plain | rate / plain-recvmmsg |\n"
           "|---|---:|---:|---:|---:|---:|\n";
    for (const std::string name :
         {"receive/vorn", "receive/vorn-tcp", "receive/liblo", "receive/plain", "receive/plain-recvmmsg"}) {
        const double rate = TableReporter::figure(table, name, "rate");
        if (rate < 0) continue;
        out << "| " << name.substr(8) << " | " << TableReporter::format(rate, 0) << " | "
            << TableReporter::format(TableReporter::figure(table, name, "ns"), 0) << " | "
            << TableReporter::ratio(rate, liblo) << " | " << TableReporter::ratio(rate, plain) << " | "
            << TableReporter::ratio(rate, batched) << " |\n";
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    struct Case {
        const char* name;
        void (*function)(benchmark::State&);
    };
    for (const Case& c : {Case{"receive/vorn", receiveVorn}, Case{"receive/vorn-tcp", receiveVornTCP},
                          Case{"receive/liblo", receiveLiblo},
                          Case{"receive/plain", receivePlain}, Case{"receive/plain-recvmmsg", receiveBatched}})
        benchmark::RegisterBenchmark(c.name, c.function)
            ->UseManualTime()
            ->Iterations(roundsPerRun)
            ->Unit(benchmark::kMillisecond);
    vorn::bench::TableReporter reporter(rateAndCost, writeTable);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
