#pragma once

#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "net/OSCTCPServer.h"
#include "osc/OSCAddressSpace.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vorn::osc {
class OSCMessage;
}

namespace vorn::tools {

struct EchoOptions {
    // 0 binds any free port.
    std::uint16_t listenPort = 8000;
    std::string ping = "/eos/ping";
    std::string reply = "/eos/out/ping";
    std::uint16_t replyPort = 8001;
    // Answer to the ping's source address and port, as audio-synthesis
    // servers and digital mixers do, instead of at the reply port.
    bool replyToSender = false;
    // Send the reply address on its own every so many seconds to
    // `heartbeatHost` at the reply port, and answer nothing, as devices that
    // only emit a heartbeat do.
    std::optional<double> heartbeat;
    std::string heartbeatHost = "127.0.0.1";
    // Answer each ping this many milliseconds after it came, as a slow or
    // busy device would; later pings are answered on their own schedule.
    std::uint32_t delayMs = 0;
    // Leave every Nth ping unanswered (the Nth, the 2Nth, ...), as a lossy
    // link would; 0 answers all.
    std::uint32_t dropEvery = 0;
    // Listen for TCP connections with this framing instead of UDP, and
    // answer each ping over the connection it came on.
    std::optional<net::OSCFraming> tcp;
};

// The far end of a monitored link, for trying a monitor out without a
// console: every message whose address pattern matches the ping address
// (/eos/ping itself, or a pattern such as /eos/p*) is answered with the reply
// address and the same arguments, sent to the sender's host at the reply port
// (not to the port it came from: consoles answer on a port of their own
// configuration). A ping inside a bundle is answered like any other, at once,
// whatever the bundle's time tag. With `replyToSender` the answer goes back
// to the port the ping came from; with `heartbeat` nothing is answered and
// the reply address goes out on its own at that period.
//
// With `delayMs` each answer goes out that long after its ping, from a thread
// of its own, so one late answer never holds up the next; at most
// `maxDelayed` answers wait at once and a ping beyond that is dropped (and
// said so). With `dropEvery` every Nth ping is left unanswered.
//
// Says what it does in one line per received message, through `output`,
// called one line at a time.
class EchoPeer {
    struct Key {};

public:
    using LineSink = std::function<void(const std::string& line)>;
    static constexpr std::size_t maxDelayed = 4096;

    static std::shared_ptr<EchoPeer> create(EchoOptions options, LineSink output);

    EchoPeer(Key, EchoOptions options, LineSink output);
    ~EchoPeer();

    EchoPeer(const EchoPeer&) = delete;
    EchoPeer& operator=(const EchoPeer&) = delete;

    // Binds the listen port and starts answering. The first line out is
    // "vorn-osc-echo listening on port N" with the port actually bound (the
    // IPv4 one where port 0 gave each address family its own); no exchange
    // is reported before it; with a heartbeat the first beat follows it at
    // once. Over TCP the line is "vorn-osc-echo listening on TCP port N
    // (OSC 1.0 framing)" (or SLIP framing), and each connection opened or
    // closed has a line of its own. Throws net::OSCSocketError when the port
    // cannot be bound.
    void start();
    void stop();

    // The IPv4 port bound, 0 before start().
    std::uint16_t boundPort() const { return tcpServer_ ? tcpServer_->boundPort() : server_->boundPort(); }
    const EchoOptions& options() const noexcept { return options_; }
    const std::shared_ptr<net::OSCServer>& server() const noexcept { return server_; }

private:
    void handle(const osc::OSCMessage& message, const std::string& host, std::uint16_t port);
    void connectionEvent(const net::OSCTCPServer::ConnectionEvent& event);
    void beat();
    void stopBeating();
    void reply(const osc::OSCMessage& message, const std::string& host, std::uint16_t port);
    void sendLater(const osc::OSCMessage& message, const std::string& host, std::uint16_t port);
    void answerLate();
    void stopDelaying();

    struct Delayed;

    const EchoOptions options_;
    const LineSink output_;
    // Keeps each exchange (reply and line) whole and behind the listening line.
    std::mutex outputMutex_;
    // Holds the ping address alone. Looked up rather than dispatched, so that
    // each exchange is answered and reported in the order it arrived.
    osc::OSCAddressSpace routes_;
    net::OSCClient client_;
    std::shared_ptr<net::OSCServer> server_;
    std::shared_ptr<net::OSCTCPServer> tcpServer_;
    // The heartbeat's own thread, woken early only to stop.
    std::mutex beatMutex_;
    std::condition_variable beatWake_;
    bool beating_ = false;
    std::thread beatThread_;
    // Pings counted for `dropEvery` (guarded by outputMutex_).
    std::uint64_t pings_ = 0;
    // Answers waiting for their time, oldest first: with one delay for all,
    // the order of arrival is the order of sending.
    std::mutex delayMutex_;
    std::condition_variable delayWake_;
    std::deque<Delayed> delayed_;
    bool delaying_ = false;
    std::thread delayThread_;
};

// "host:port", with IPv6 hosts in brackets so the port stays readable.
std::string endpointText(const std::string& host, std::uint16_t port);

}  // namespace vorn::tools
