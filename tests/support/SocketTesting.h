#pragma once

#include "base/SharedBytes.h"
#include "dispatch/SerialQueue.h"
#include "support/Waiting.h"
#include "udp/DatagramSocket.h"
#include "udp/FreePort.h"
#include "udp/SystemCalls.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <any>
#include <atomic>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// What the socket and transport tests share: plain kernel sockets to talk
// to, a delegate that records, a system-call seam that fails on demand.
namespace vorn::udp::testing {

using dispatch::testing::Event;
using dispatch::testing::patience;

inline SharedBytes bytes(std::string_view text) {
    return SharedBytes::copy(text);
}

inline std::string text(const SharedBytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

inline SharedBytes loopback(int family, std::uint16_t port) {
    const sockaddr_in6 v6{AF_INET6, htons(port), 0, in6addr_loopback, 0};
    const sockaddr_in v4{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return family == AF_INET ? bytes({reinterpret_cast<const char*>(&v4), sizeof v4})
                             : bytes({reinterpret_cast<const char*>(&v6), sizeof v6});
}

inline const char* loopbackHost(int family) {
    return family == AF_INET ? "127.0.0.1" : "::1";
}

// Only sockets count: queues and timers hold event descriptors of their own.
inline std::size_t openSocketCount() {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        count += std::filesystem::read_symlink(entry.path(), error).native().starts_with("socket:") ? 1 : 0;
    }
    return count;
}

// Blocks until `fd` has a datagram waiting, without taking it.
inline bool waitReadable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(patience.count())) == 1;
}

// A plain kernel socket on a loopback address (both layouts keep the port at
// the same place).
class Peer {
public:
    explicit Peer(int family, std::uint16_t port = 0) : family_(family), fd_(::socket(family, SOCK_DGRAM, 0)) {
        const auto address = loopback(family, port);
        sockaddr_in6 bound{};
        socklen_t length = sizeof bound;
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(address.data()), address.size()) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length) != 0) {
            ::close(std::exchange(fd_, -1));
        }
        port_ = ntohs(bound.sin6_port);
    }
    ~Peer() { ::close(fd_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    std::uint16_t port() const { return port_; }

    bool sendTo(std::uint16_t port, std::string_view payload) const {
        const auto address = loopback(family_, port);
        return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(address.data()),
                        address.size()) == static_cast<ssize_t>(payload.size());
    }

    // The next datagram, or none when nothing arrives within the patience.
    std::optional<std::string> receive(std::uint16_t* fromPort = nullptr) const {
        std::string buffer(65536, '\0');
        sockaddr_in6 from{};
        socklen_t length = sizeof from;
        const auto n = waitReadable(fd_) ? ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT,
                                                      reinterpret_cast<sockaddr*>(&from), &length)
                                         : -1;
        if (n < 0) return std::nullopt;
        if (fromPort != nullptr) *fromPort = ntohs(from.sin6_port);
        return buffer.substr(0, static_cast<std::size_t>(n));
    }

private:
    int family_;
    int fd_;
    std::uint16_t port_ = 0;
};

struct Report {
    enum class Kind { sent, notSent, received, closed };
    Kind kind = Kind::sent;
    std::int64_t tag = 0;
    std::optional<SocketError> error{};
    std::string data{};
    SharedBytes address{};
    std::any context{};
};

// "sent 42, notSent 7 (text), received data, closed", to compare in one go.
inline std::string summary(const std::vector<Report>& reports) {
    static const char* const names[] = {"sent", "notSent", "received", "closed"};
    std::string out;
    for (const auto& r : reports) {
        out += (out.empty() ? "" : ", ") + std::string(names[static_cast<int>(r.kind)]);
        if (r.kind == Report::Kind::sent || r.kind == Report::Kind::notSent) out += " " + std::to_string(r.tag);
        if (r.kind == Report::Kind::received) out += " " + r.data;
        if (r.error) out += " (" + r.error->description + ")";
    }
    return out;
}

class RecordingDelegate final : public DatagramSocketDelegate {
public:
    // Runs on the delegate queue after each report; set before any can come.
    std::function<void(const Report&)> onReport;

    void didSendData(const std::shared_ptr<DatagramSocket>&, std::int64_t tag) override {
        add({.kind = Report::Kind::sent, .tag = tag});
    }
    void didNotSendData(const std::shared_ptr<DatagramSocket>&, std::int64_t tag, const SocketError& error) override {
        add({.kind = Report::Kind::notSent, .tag = tag, .error = error});
    }
    void didReceiveData(const std::shared_ptr<DatagramSocket>&, const SharedBytes& data, const SharedBytes& address,
                        const std::any& context) override {
        add({.kind = Report::Kind::received, .data = text(data), .address = address, .context = context});
    }
    void didClose(const std::shared_ptr<DatagramSocket>&, const std::optional<SocketError>& error) override {
        add({.kind = Report::Kind::closed, .error = error});
    }

    std::vector<Report> reports() const { return waitFor(0); }
    // All reports once there are `count` (of received datagrams, with
    // `onlyReceived`); fewer only when the patience ran out.
    std::vector<Report> waitFor(std::size_t count, bool onlyReceived = false) const {
        if (!onlyReceived) return reports_.waitFor(count);
        return reports_.waitUntil([count](const std::vector<Report>& reports) {
            return static_cast<std::size_t>(std::count_if(reports.begin(), reports.end(), isData)) >= count;
        });
    }

    // The data of the datagrams received, once there are `count` of them.
    std::vector<std::string> waitForData(std::size_t count) const {
        std::vector<std::string> data;
        for (const auto& r : waitFor(count, true)) {
            if (isData(r)) data.push_back(r.data);
        }
        return data;
    }

private:
    static bool isData(const Report& r) { return r.kind == Report::Kind::received; }

    void add(const Report& report) {
        reports_.add(report);
        if (onReport) onReport(report);
    }

    dispatch::testing::Recorded<Report> reports_;
};

// The real system calls but those a test makes fail; registered host names
// resolve without the network.
class FaultySystemCalls final : public SystemCalls {
public:
    // The next `count` sendto calls fail; a negative count fails until told otherwise.
    void failSendto(int error, int count = -1) { set({"sendto"}, {error, count}); }
    // Fails every read, of one datagram or of a batch.
    void failRecvfrom(int error) { set({"recvfrom"}, {error, -1}); }
    void failSocket(int family, int error) { set({"socket", family}, {error, -1}); }
    void failSetsockopt(int level, int name, int error) { set({"setsockopt", level, name}, {error, -1}); }
    // `host` resolves to `numeric`, or fails with `error`, once `gate` (if any) opens.
    void resolve(std::string host, std::string numeric, std::shared_ptr<Event> gate = nullptr, int error = 0) {
        std::lock_guard lock(mutex_);
        names_[host] = {numeric, error, std::move(gate)};
    }

    int socket(int domain, int type, int protocol) override {
        return failing({"socket", domain}) ? -1 : SystemCalls::socket(domain, type, protocol);
    }
    int setsockopt(int fd, int level, int name, const void* value, socklen_t length) override {
        return failing({"setsockopt", level, name}) ? -1 : SystemCalls::setsockopt(fd, level, name, value, length);
    }
    ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* to, socklen_t length) override {
        return failing({"sendto"}) ? -1 : SystemCalls::sendto(fd, data, size, flags, to, length);
    }
    ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* from, socklen_t* length) override {
        if (failing({"recvfrom"})) return -1;
        const auto result = SystemCalls::recvfrom(fd, buffer, size, flags, from, length);
        if (result > 0 && (flags & MSG_PEEK) == 0) ++datagramsRead_;
        return result;
    }
    // One batch read as the kernel might answer it: at most `most`
    // datagrams, or the failure `error`; with `cut`, the first datagram
    // taken is said to be larger than its buffer (MSG_TRUNC, `cut` bytes).
    struct BatchRead {
        unsigned int most = 64;
        int error = 0;
        unsigned int cut = 0;
    };
    // The next batch reads go as told, in order; the ones after as usual.
    void scriptBatches(std::vector<BatchRead> reads) {
        std::lock_guard lock(mutex_);
        batchScript_.assign(reads.begin(), reads.end());
    }
    // How many datagrams each batch read asked for.
    std::vector<unsigned int> batchesAsked() const {
        std::lock_guard lock(mutex_);
        return batchesAsked_;
    }
    int recvmmsg(int fd, mmsghdr* messages, unsigned int count, int flags, timespec* timeout) override {
        if (failing({"recvfrom"})) return -1;
        BatchRead step;
        {
            std::lock_guard lock(mutex_);
            batchesAsked_.push_back(count);
            if (!batchScript_.empty()) step = batchScript_.front(), batchScript_.pop_front();
        }
        if (step.error != 0) return errno = step.error, -1;
        const auto result = SystemCalls::recvmmsg(fd, messages, std::min(count, step.most), flags, timeout);
        if (result > 0 && step.cut != 0) {
            messages[0].msg_len = step.cut;
            messages[0].msg_hdr.msg_flags |= MSG_TRUNC;
        }
        if (result > 0) datagramsRead_ += static_cast<std::size_t>(result);
        return result;
    }
    // Datagrams taken from the kernel so far.
    std::size_t datagramsRead() const { return datagramsRead_.load(); }
    int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) override {
        std::unique_lock lock(mutex_);
        const auto found = node != nullptr ? names_.find(node) : names_.end();
        if (found == names_.end()) return lock.unlock(), SystemCalls::getaddrinfo(node, service, hints, result);
        const Name name = found->second;
        lock.unlock();
        if (name.gate != nullptr) (void)name.gate->wait();
        if (name.error != 0) return name.error;
        // The real resolver builds the answer, so that the socket's
        // freeaddrinfo can release it; numeric hosts never leave the process.
        addrinfo numericHints = hints != nullptr ? *hints : addrinfo{};
        numericHints.ai_flags |= AI_NUMERICHOST;
        return ::getaddrinfo(name.numeric.c_str(), service, &numericHints, result);
    }

private:
    struct Call {
        std::string name;
        int a = 0;
        int b = 0;
        auto operator<=>(const Call&) const = default;
    };
    struct Name {
        std::string numeric;
        int error = 0;
        std::shared_ptr<Event> gate;
    };

    void set(const Call& call, std::pair<int, int> errorAndCount) {
        std::lock_guard lock(mutex_);
        failures_[call] = errorAndCount;
    }
    bool failing(const Call& call) {
        std::lock_guard lock(mutex_);
        auto& [error, count] = failures_[call];
        if (error == 0 || count == 0) return false;
        count -= count > 0 ? 1 : 0;
        errno = error;
        return true;
    }

    mutable std::mutex mutex_;
    std::atomic<std::size_t> datagramsRead_{0};
    std::deque<BatchRead> batchScript_;
    std::vector<unsigned int> batchesAsked_;
    std::map<Call, std::pair<int, int>> failures_;
    std::map<std::string, Name, std::less<>> names_;
};

// A socket with a recording delegate on a serial delegate queue.
struct Harness {
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<dispatch::SerialQueue> delegateQueue = dispatch::SerialQueue::create("test.delegate");
    std::shared_ptr<FaultySystemCalls> system;
    std::shared_ptr<DatagramSocket> socket;

    explicit Harness(std::shared_ptr<FaultySystemCalls> calls = nullptr,
                     std::shared_ptr<dispatch::SerialQueue> socketQueue = nullptr)
        : system(std::move(calls)),
          socket(DatagramSocket::create(delegate, delegateQueue, std::move(socketQueue), system)) {}

    // Binds to `interface` (null: every one) on an ephemeral port and receives.
    std::uint16_t receiving(const char* interface = "127.0.0.1") const {
        SocketError error;
        const auto where = interface != nullptr ? std::optional<std::string>(interface) : std::nullopt;
        EXPECT_TRUE(socket->bindToPort(0, where, &error) && socket->beginReceiving(&error)) << error.description;
        return socket->localPort();
    }

    // Lets what the socket has started reach the delegate.
    void settle() const {
        for (int round = 0; round < 3; ++round) {
            socket->performBlock([] {});
            delegateQueue->sync([] {});
        }
    }

    // Waits on the socket queue until a datagram is waiting there, untaken.
    bool datagramWaiting(int family) const {
        bool waiting = false;
        socket->performBlock([&] {
            waiting = waitReadable(family == AF_INET ? socket->socket4FD() : socket->socket6FD());
        });
        return waiting;
    }
};

// A port free on both wildcard addresses right now (for now only).
using udp::freePort;

// Binds both families to one port, retrying while others take the candidate.
inline std::uint16_t bindToSomeFreePort(DatagramSocket& socket, SocketError* error) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        if (const auto port = freePort(); port != 0 && socket.bindToPort(port, error)) return port;
        if (error->code != EADDRINUSE) break;
    }
    return 0;
}

}  // namespace vorn::udp::testing
