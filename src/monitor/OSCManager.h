#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "dispatch/Published.h"
#include "monitor/DeadLinkAlert.h"
#include "monitor/LogLines.h"
#include "monitor/OSCClientPool.h"
#include "monitor/OSCSettings.h"
#include "monitor/TCPLink.h"
#include "net/OSCServer.h"
#include "osc/OSCMessage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vorn::monitor {

// The link monitor: pings the far end every `pingInterval` seconds, listens on
// `receivePort` for messages whose address contains `desiredReply`, and at
// each tick judges the interval that has just ended. A reply makes the link
// ALIVE; `missThreshold` silent intervals in a row make it DEAD.
//
// With `listenOnPingPort` the ping clients' own ports are heard as well, for
// peers that answer whoever sent to them; what arrives there is handled
// exactly as what arrives at the receive port. A `passive` monitor sends no
// pings and judges each interval by what came on its own.
//
// Over TCP (`transport` "tcp" or "tcp-slip") pings and answers share one
// connection to the target, which reconnects in the background; the receive
// port and the ping clients are not used. A lost connection changes no
// state by itself: the intervals judge the link as ever, and a ping that
// could not be sent is never excused as a late tick's may be.
//
// Everything the user sees (`isAlive`, `heartbeatCount`, `log`) changes on the
// main thread only. Replies are handled on a background queue; the server
// starts on the shared executor. Every closure handed out holds the monitor
// weakly, so dropping the last reference stops the timer, the observations and
// the server.
class OSCManager : public std::enable_shared_from_this<OSCManager> {
    struct Key {};

public:
    static constexpr std::int64_t missThreshold = 2;
    static constexpr std::size_t clientCount = 10;

    // Builds the monitor on the main thread and starts it: restarts the server
    // (the first log line), starts the ping timer. `alert` may be null;
    // `pingSystem`, when given, replaces the system calls of the ping clients
    // (tests make resolving or sending fail with it).
    static std::shared_ptr<OSCManager> create(std::shared_ptr<OSCSettings> settings, dispatch::MainLoop& mainLoop,
                                              std::shared_ptr<DeadLinkAlert> alert,
                                              std::shared_ptr<udp::SystemCalls> pingSystem = nullptr);

    OSCManager(Key, std::shared_ptr<OSCSettings> settings, dispatch::MainLoop& mainLoop,
               std::shared_ptr<DeadLinkAlert> alert, std::shared_ptr<udp::SystemCalls> pingSystem);
    ~OSCManager();

    OSCManager(const OSCManager&) = delete;
    OSCManager& operator=(const OSCManager&) = delete;

    // Declared first so that it outlives the properties that signal it.
    dispatch::ObjectWillChange objectWillChange;
    // True is ALIVE, false is DEAD (the initial state, never announced).
    dispatch::Published<bool> isAlive;
    LogLines log;
    // Matching replies since construction.
    dispatch::Published<std::int64_t> heartbeatCount;

    const std::shared_ptr<OSCSettings>& settings() const noexcept { return settings_; }

    // Main thread. Replaces the ping timer with one of the current interval;
    // the next ping comes one full interval from now. Counters and state stay.
    void startPingTimer();

    // Main thread. Stops the current server, makes a new one on the current
    // `receivePort`, logs the restart and starts the new one in the background.
    // Over TCP there is no server: the connection to the target is made
    // instead, unless it is already there.
    void restartServer();

    // Main thread. Starts whatever server is current in the background, logs
    // the outcome and, on success, installs the message handler.
    void startServerTask();

    // One tick, main thread: sends a ping (none when passive), then judges
    // the interval that ended. The ping's line is logged at once; a ping that then turns out not
    // to have left (unknown host, refused by the kernel) adds its error line
    // when the client reports it, in a later turn. A tick that comes late,
    // after the main loop was held up, and the one that may follow it within
    // half a period credit a reply but hold no silence against the link,
    // unless the tick before the late one was let off too.
    void sendPing();

    // Any thread. Logs the message and, when it is a reply, credits it to the
    // current interval and counts a heartbeat. `host` and `port` name the
    // sender, when known.
    void handleIncomingMessage(const osc::OSCMessage& message, const std::string& host = {},
                               std::uint16_t port = 0);

    // Main thread. While the line of a received message is being appended
    // to the log, its sender as "host:port" ("[host]:port" for IPv6); empty
    // otherwise. For log subscribers that show the sender beside the line.
    const std::string& senderOfLineBeingAppended() const noexcept { return appendingSender_; }

    // Inspection, main thread.
    std::int64_t consecutiveMisses() const noexcept { return consecutiveMisses_; }
    bool lastReplyReceived() const noexcept { return lastReplyReceived_.load(); }
    std::shared_ptr<net::OSCServer> server() const;
    OSCClientPool& clientPool() noexcept { return clientPool_; }
    // The TCP connection, null over UDP.
    TCPLink* tcpLink() noexcept { return link_.get(); }

private:
    void observeSettings();
    void startCurrentServer();
    bool usesTCP() const;
    void updateLink();
    net::OSCMessageHandler incomingHandler();
    void listenOnPingPort(bool flag);
    void judgeInterval();
    void noteUnmatched(bool replied, bool otherMessages);
    void updateAliveState(bool state);
    void handleStateChange(bool state);
    void appendOnMain(std::string line);
    std::string desiredReplySnapshot() const;

    std::shared_ptr<OSCSettings> settings_;
    dispatch::MainLoop& mainLoop_;
    std::shared_ptr<DeadLinkAlert> alert_;
    OSCClientPool clientPool_;

    mutable std::mutex serverMutex_;
    std::shared_ptr<net::OSCServer> server_;
    // The receive port that the last restart could not use, for the failure
    // line of a start that finds no server.
    std::int64_t refusedReceivePort_ = 0;
    // Serialises start tasks, so that two never start one server at once.
    std::mutex startMutex_;

    mutable std::mutex desiredReplyMutex_;
    std::string desiredReply_;

    dispatch::Cancellable pingTimer_;
    // The ping timer's period, and when (on the main loop's clock) the last
    // tick came, so that a tick can tell when it comes late; whether that
    // tick was late, and whether its silence was let off.
    dispatch::Duration pingPeriod_{0};
    dispatch::Duration lastTickAt_{0};
    bool lastTickLate_ = false;
    bool lastTickExcused_ = false;
    std::atomic<bool> lastReplyReceived_{false};
    // Messages that are no reply: whether one came in the current interval,
    // and who sent the last of them (guarded by desiredReplyMutex_).
    std::atomic<bool> otherMessageReceived_{false};
    std::string lastOtherSender_;
    // Intervals since the last reply in which only other messages came, and
    // whether that has been said since.
    std::int64_t unmatchedIntervals_ = 0;
    bool unmatchedReported_ = false;
    std::string appendingSender_;
    std::int64_t consecutiveMisses_ = 0;
    // Over TCP only; main thread. Whether the transport is TCP, for the
    // server's start task on the shared executor; and whether a ping of the
    // current interval could not be sent (set on the link's queue).
    std::unique_ptr<TCPLink> link_;
    std::atomic<bool> tcpMode_{false};
    std::atomic<bool> pingUnsent_{false};
    std::vector<dispatch::Cancellable> cancellables_;
};

}  // namespace vorn::monitor
