#pragma once

#include "../dispatch/Waiting.h"
#include "dispatch/ConcurrentQueue.h"
#include "dispatch/SerialQueue.h"
#include "dispatch/SharedBytes.h"
#include "udp/DatagramSocket.h"
#include "udp/SocketError.h"
#include "udp/SystemCalls.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <any>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// What the DatagramSocket tests share: a delegate that records what it is
// told, plain kernel sockets to talk to, a system-call seam that fails on
// demand, and a count of the process's open sockets.
namespace vorn::udp::testing {

using dispatch::testing::Event;
using dispatch::testing::patience;

inline SharedBytes bytes(std::string_view text) {
    return SharedBytes::copy(text);
}

inline std::string text(const SharedBytes& data) {
    return {reinterpret_cast<const char*>(data.data()), data.size()};
}

// The loopback address of `family` with `port`, in the layout the socket uses.
inline SharedBytes loopback(int family, std::uint16_t port) {
    if (family == AF_INET) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return SharedBytes::copy({reinterpret_cast<const std::uint8_t*>(&address), sizeof address});
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(port);
    address.sin6_addr = in6addr_loopback;
    return SharedBytes::copy({reinterpret_cast<const std::uint8_t*>(&address), sizeof address});
}

inline const char* loopbackHost(int family) {
    return family == AF_INET ? "127.0.0.1" : "::1";
}

// Sockets of this process, found by their /proc links, so that the event
// descriptors of queues and timers do not count.
inline std::size_t openSocketCount() {
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code linkError;
        const auto target = std::filesystem::read_symlink(entry.path(), linkError);
        count += !linkError && target.native().starts_with("socket:") ? 1 : 0;
    }
    return count;
}

// Blocks until `fd` has a datagram waiting, without taking it.
inline bool waitReadable(int fd) {
    pollfd watched{fd, POLLIN, 0};
    return ::poll(&watched, 1, static_cast<int>(patience.count())) == 1;
}

// A plain kernel socket on a loopback address, the far end of a test.
class Peer {
public:
    explicit Peer(int family, std::uint16_t port = 0) : family_(family) {
        fd_ = ::socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd_ < 0) return;
        const auto address = loopback(family, port);
        if (::bind(fd_, reinterpret_cast<const sockaddr*>(address.data()), address.size()) != 0) {
            ::close(std::exchange(fd_, -1));
            return;
        }
        sockaddr_storage bound{};
        socklen_t length = sizeof bound;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&bound), &length);
        port_ = DatagramSocket::portFromAddress(
            SharedBytes::copy({reinterpret_cast<const std::uint8_t*>(&bound), length}));
    }
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
    }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    int family() const { return family_; }
    std::uint16_t port() const { return port_; }

    // Sends to `port` on the loopback address of this peer's family.
    bool sendTo(std::uint16_t port, std::string_view payload) const {
        const auto address = loopback(family_, port);
        return ::sendto(fd_, payload.data(), payload.size(), 0, reinterpret_cast<const sockaddr*>(address.data()),
                        address.size()) == static_cast<ssize_t>(payload.size());
    }

    // The next datagram, or none when nothing arrives within the patience.
    std::optional<std::string> receive(std::uint16_t* fromPort = nullptr) const {
        if (!waitReadable(fd_)) return std::nullopt;
        std::string buffer(65536, '\0');
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const auto n = ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                                  &length);
        if (n < 0) return std::nullopt;
        if (fromPort != nullptr) {
            *fromPort = DatagramSocket::portFromAddress(
                SharedBytes::copy({reinterpret_cast<const std::uint8_t*>(&from), length}));
        }
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }

private:
    int family_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// One delegate callback as it arrived.
struct Report {
    enum class Kind { sent, notSent, received, closed };
    Kind kind = Kind::sent;
    std::int64_t tag = 0;
    std::optional<SocketError> error{};
    std::string data{};
    SharedBytes address{};
    std::any context{};
    bool hadSocket = false;
};

// The reports in short, as "sent 42, notSent 7 (text), received data,
// closed" with each error's description, so one comparison checks a sequence.
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

// Records every callback under a lock; tests wait on it instead of sleeping.
class RecordingDelegate final : public DatagramSocketDelegate {
public:
    // Runs on the delegate queue after each report is recorded, outside the
    // lock; set it before anything can report.
    std::function<void(const Report&)> onReport;

    void didSendData(const std::shared_ptr<DatagramSocket>& socket, std::int64_t tag) override {
        add({.kind = Report::Kind::sent, .tag = tag, .hadSocket = socket != nullptr});
    }
    void didNotSendData(const std::shared_ptr<DatagramSocket>& socket, std::int64_t tag,
                        const SocketError& error) override {
        add({.kind = Report::Kind::notSent, .tag = tag, .error = error, .hadSocket = socket != nullptr});
    }
    void didReceiveData(const std::shared_ptr<DatagramSocket>& socket, const SharedBytes& data,
                        const SharedBytes& address, const std::any& filterContext) override {
        add({.kind = Report::Kind::received,
             .data = text(data),
             .address = address,
             .context = filterContext,
             .hadSocket = socket != nullptr});
    }
    void didClose(const std::shared_ptr<DatagramSocket>& socket, const std::optional<SocketError>& error) override {
        add({.kind = Report::Kind::closed, .error = error, .hadSocket = socket != nullptr});
    }

    std::vector<Report> reports() const {
        std::lock_guard lock(mutex_);
        return reports_;
    }

    // Waits until `count` reports arrived and returns them all; fewer only
    // when the patience ran out.
    std::vector<Report> waitFor(std::size_t count) const {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, patience, [&] { return reports_.size() >= count; });
        return reports_;
    }

    // The payloads received so far, waiting for at least `count` of them.
    std::vector<std::string> waitForData(std::size_t count) const {
        std::unique_lock lock(mutex_);
        std::vector<std::string> data;
        changed_.wait_for(lock, patience, [&] {
            data.clear();
            for (const auto& report : reports_) {
                if (report.kind == Report::Kind::received) data.push_back(report.data);
            }
            return data.size() >= count;
        });
        return data;
    }

private:
    void add(Report report) {
        {
            std::lock_guard lock(mutex_);
            reports_.push_back(report);
            changed_.notify_all();
        }
        if (onReport) onReport(report);
    }

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Report> reports_;
};

// The real system calls, except those a test asks to fail. Host names that
// a test registers resolve without the network.
class FaultySystemCalls final : public SystemCalls {
public:
    // The next `count` sendto calls fail with `error`; a negative count keeps
    // failing until stopFailingSendto().
    void failSendto(int error, int count = -1) {
        std::lock_guard lock(mutex_);
        sendtoError_ = error;
        sendtoFailures_ = count;
    }
    void stopFailingSendto() { failSendto(0, 0); }
    void failSocket(int family, int error) {
        std::lock_guard lock(mutex_);
        socketErrors_[family] = error;
    }
    void failSetsockopt(int level, int name, int error) {
        std::lock_guard lock(mutex_);
        setsockoptErrors_[{level, name}] = error;
    }
    void failBind(int family, int error) {
        std::lock_guard lock(mutex_);
        bindErrors_[family] = error;
    }
    // `host` resolves to the numeric address `numeric`, once `gate` (if any)
    // has opened.
    void resolve(std::string host, std::string numeric, std::shared_ptr<Event> gate = nullptr) {
        std::lock_guard lock(mutex_);
        names_[std::move(host)] = {std::move(numeric), 0, gate};
    }
    void refuse(std::string host, int resolverError) {
        std::lock_guard lock(mutex_);
        names_[std::move(host)] = {{}, resolverError, nullptr};
    }
    // After `calls` more recvfrom calls, the next one fails with `error`.
    void failRecvfrom(int error, int calls) {
        std::lock_guard lock(mutex_);
        recvfromError_ = error;
        readsBeforeFailure_ = calls;
    }
    // Runs on the socket queue each time recvfrom has taken a datagram, with
    // the number taken so far.
    void afterEachRead(std::function<void(int)> hook) {
        std::lock_guard lock(mutex_);
        afterRead_ = std::move(hook);
    }
    int getaddrinfoCalls() const {
        std::lock_guard lock(mutex_);
        return getaddrinfoCalls_;
    }
    int sendtoCalls() const {
        std::lock_guard lock(mutex_);
        return sendtoCalls_;
    }

    int socket(int domain, int type, int protocol) override {
        if (const int error = lookup(socketErrors_, domain)) {
            errno = error;
            return -1;
        }
        return SystemCalls::socket(domain, type, protocol);
    }
    int setsockopt(int fd, int level, int name, const void* value, socklen_t length) override {
        if (const int error = lookup(setsockoptErrors_, std::pair{level, name})) {
            errno = error;
            return -1;
        }
        return SystemCalls::setsockopt(fd, level, name, value, length);
    }
    int bind(int fd, const sockaddr* address, socklen_t length) override {
        if (const int error = lookup(bindErrors_, static_cast<int>(address->sa_family))) {
            errno = error;
            return -1;
        }
        return SystemCalls::bind(fd, address, length);
    }
    ssize_t sendto(int fd, const void* data, size_t size, int flags, const sockaddr* address,
                   socklen_t length) override {
        int error = 0;
        {
            std::lock_guard lock(mutex_);
            ++sendtoCalls_;
            if (sendtoFailures_ != 0) {
                error = sendtoError_;
                sendtoFailures_ -= sendtoFailures_ > 0 ? 1 : 0;
            }
        }
        if (error != 0) {
            errno = error;
            return -1;
        }
        return SystemCalls::sendto(fd, data, size, flags, address, length);
    }
    ssize_t recvfrom(int fd, void* buffer, size_t size, int flags, sockaddr* address, socklen_t* length) override {
        std::function<void(int)> hook;
        int taken = 0;
        {
            std::lock_guard lock(mutex_);
            if (recvfromError_ != 0 && readsBeforeFailure_-- == 0) {
                errno = std::exchange(recvfromError_, 0);
                return -1;
            }
        }
        const auto result = SystemCalls::recvfrom(fd, buffer, size, flags, address, length);
        if (result > 0 && (flags & MSG_PEEK) == 0) {
            const int saved = errno;
            {
                std::lock_guard lock(mutex_);
                hook = afterRead_;
                taken = ++reads_;
            }
            if (hook) hook(taken);
            errno = saved;
        }
        return result;
    }
    int getaddrinfo(const char* node, const char* service, const addrinfo* hints, addrinfo** result) override {
        Name name;
        bool known = false;
        {
            std::lock_guard lock(mutex_);
            ++getaddrinfoCalls_;
            if (node != nullptr) {
                if (auto found = names_.find(node); found != names_.end()) {
                    name = found->second;
                    known = true;
                }
            }
        }
        if (!known) return SystemCalls::getaddrinfo(node, service, hints, result);
        if (name.gate != nullptr) (void)name.gate->wait();
        if (name.error != 0) return name.error;
        // The real resolver builds the answer, so that whichever freeaddrinfo
        // the socket calls can release it; numeric hosts never leave the
        // process.
        addrinfo numericHints = hints != nullptr ? *hints : addrinfo{};
        numericHints.ai_flags |= AI_NUMERICHOST;
        return ::getaddrinfo(name.numeric.c_str(), service, &numericHints, result);
    }

private:
    struct Name {
        std::string numeric;
        int error = 0;
        std::shared_ptr<Event> gate;
    };

    template <class Map, class Key>
    int lookup(const Map& map, const Key& key) const {
        std::lock_guard lock(mutex_);
        const auto found = map.find(key);
        return found == map.end() ? 0 : found->second;
    }

    mutable std::mutex mutex_;
    int sendtoError_ = 0;
    int sendtoFailures_ = 0;
    int sendtoCalls_ = 0;
    int getaddrinfoCalls_ = 0;
    int recvfromError_ = 0;
    int readsBeforeFailure_ = 0;
    int reads_ = 0;
    std::function<void(int)> afterRead_;
    std::map<int, int> socketErrors_;
    std::map<std::pair<int, int>, int> setsockoptErrors_;
    std::map<int, int> bindErrors_;
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
        : system(std::move(calls)) {
        socket = DatagramSocket::create(delegate, delegateQueue, std::move(socketQueue), system);
    }

    // Lets everything the socket has started so far reach the delegate:
    // work posted to the socket queue runs, then callbacks posted from there.
    void settle() const {
        for (int round = 0; round < 3; ++round) {
            socket->performBlock([] {});
            delegateQueue->sync([] {});
        }
    }

    // Waits on the socket queue until the given family's descriptor holds a
    // datagram, so that a test knows it arrived without the socket taking it.
    bool datagramWaiting(int family) const {
        bool waiting = false;
        socket->performBlock([&] {
            const int fd = family == AF_INET ? socket->socket4FD() : socket->socket6FD();
            waiting = fd >= 0 && waitReadable(fd);
        });
        return waiting;
    }
};

// A port that is free on both wildcard addresses right now. Another process
// may take it before the test binds it; callers retry on EADDRINUSE.
inline std::uint16_t freePort() {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return 0;
    const int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    std::uint16_t port = 0;
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin6_port);
    }
    ::close(fd);
    return port;
}

// Binds `socket` to one port on every interface, retrying while another
// program takes the candidate port first.
inline std::uint16_t bindToSomeFreePort(DatagramSocket& socket, SocketError* error = nullptr) {
    for (int attempt = 0; attempt < 20; ++attempt) {
        SocketError failure;
        const auto port = freePort();
        if (port != 0 && socket.bindToPort(port, &failure)) return port;
        if (error != nullptr) *error = failure;
        if (failure.code != EADDRINUSE) break;
    }
    return 0;
}

}  // namespace vorn::udp::testing

namespace vorn::udp {

// Readable failure messages in the tests.
inline void PrintTo(const SocketError& error, std::ostream* out) {
    *out << error.domain << " " << error.code << " \"" << error.description << "\" (" << error.failureReason << ")";
}

}  // namespace vorn::udp
