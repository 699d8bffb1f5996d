#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "dispatch/Published.h"
#include "monitor/DeadLinkAlert.h"
#include "monitor/HookCommand.h"
#include "monitor/LinkQuality.h"
#include "monitor/LogLines.h"
#include "monitor/OSCClientPool.h"
#include "monitor/OSCSettings.h"
#include "monitor/TCPLink.h"
#include "net/OSCClient.h"
#include "net/OSCServer.h"
#include "osc/OSCMessage.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorn::monitor {

namespace detail {
class Inbox;
struct ReceivedLine;
}  // namespace detail

// Whether alerts are held back. The state is still shown and logged.
struct MuteState {
    bool muted = false;
    // Until the link next goes ALIVE.
    bool untilAlive = false;
    // Until this time on the monitor's clock.
    std::optional<MonitorTime> until;

    bool operator==(const MuteState&) const = default;
};

// What a log line stands for, for subscribers that show more than its text
// (vorn-osc-cli --json). `kind` is one of "restart", "listening",
// "startFailed", "ping", "pingFailed", "received", "state", "unmatched",
// "slow", "slowEnded", "reminder", "muted", "unmuted", "hookStarted",
// "hookOutput", "hookEnded", "hookFailed", "stateMessage",
// "stateMessageFailed", and over TCP "connecting", "connected",
// "connectionLost"; empty for a line the monitor did not write itself and
// for the one that counts received messages it could not log.
struct LineEvent {
    LineEvent() = default;
    LineEvent(std::string_view kind_) : kind(kind_) {}  // NOLINT: a kind alone is an event

    std::string_view kind;
    // On "state": the new state, true for ALIVE.
    std::optional<bool> state;
    // On "received": the round trip of a reply that follows a ping.
    std::optional<double> rttMs;
    // On "received": the sender, when known.
    std::string fromHost;
    std::uint16_t fromPort = 0;
};

// The link monitor: pings the far end every `pingInterval` seconds, listens on
// `receivePort` for messages whose address contains `desiredReply`, and at
// each tick judges the interval that has just ended. A reply makes the link
// ALIVE (`repliesBeforeAlive` intervals in a row with one, 1 by default);
// `missesBeforeDead` silent intervals in a row make it DEAD (2 by default).
//
// Beside the state it keeps the link's figures (LinkQuality): each reply's
// round trip, timed on the receive path as it is read, before it waits for
// the main thread, against the newest ping sent before it. It warns of a
// slow link, reminds of a dead one, holds alerts back while muted, and on
// each change of state runs the user's command and sends the user's OSC
// message, each said in lines of their own beside the seven of the log.
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
// main thread only. A received message is checked and credited on the queue
// that read it; its line waits for the main thread, which takes every line
// waiting in one turn, and before it logs any line of its own, so that the
// log keeps the order in which things reached the monitor. The server
// starts on the shared executor. Every closure handed out holds the monitor
// weakly, so dropping the last reference stops the timer, the observations and
// the server.
class OSCManager : public std::enable_shared_from_this<OSCManager> {
    struct Key {};

public:
    // The default of `missesBeforeDead`.
    static constexpr std::int64_t missThreshold = OSCSettings::Defaults::missesBeforeDead;
    static constexpr std::size_t clientCount = 10;
    // Received lines that may wait for the main thread; the lines of further
    // messages are counted in one line instead (they still credit the
    // interval). About ten seconds of a console that sends 5 000 a second,
    // some ten megabytes at most.
    static constexpr std::size_t waitingLinesLimit = 50'000;

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

    // The figures after the last ping, reply or verdict; not part of
    // objectWillChange, so that views that only show the state are not
    // woken by every reply. Main thread.
    dispatch::Published<LinkStatistics> statistics;
    dispatch::Published<MuteState> mute;

    const std::shared_ptr<OSCSettings>& settings() const noexcept { return settings_; }

    // Main thread. The figures as of now (the time in the current state
    // grows between events), every ping kept, and everything an export of
    // the report needs (LinkReport::writePingsCsv, writeOutagesCsv).
    LinkStatistics currentStatistics() const;
    const LinkQuality& quality() const noexcept { return quality_; }
    LinkReport report() const { return quality_.report(mainLoop_.now()); }

    // Main thread. Hold alerts back for `duration`, or until the link next
    // goes ALIVE; each says so in the log, and so does the end. toggleMute()
    // (SIGUSR1 in vorn-osc-cli) unmutes, or mutes until ALIVE.
    void muteAlarms(dispatch::Duration duration);
    void muteAlarmsUntilAlive();
    void unmuteAlarms();
    void toggleMute();

    // Main thread, while a line is being appended to the log: what it
    // stands for. Empty kind otherwise.
    const LineEvent& eventOfLineBeingAppended() const noexcept { return appendingEvent_; }

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
    // sender, when known; `arrival` is when it was read (now when not given).
    void handleIncomingMessage(const osc::OSCMessage& message, const std::string& host = {},
                               std::uint16_t port = 0, std::optional<dispatch::Duration> arrival = std::nullopt);
    // The same for a message of which only the address is known.
    void handleIncoming(std::string_view address, const std::string& host, std::uint16_t port,
                        dispatch::Duration arrival);

    // Main thread. While the line of a received message is being appended
    // to the log, its sender as "host:port" ("[host]:port" for IPv6); empty
    // otherwise. For log subscribers that show the sender beside the line.
    const std::string& senderOfLineBeingAppended() const noexcept { return appendingSender_; }

    // Inspection, main thread.
    std::int64_t consecutiveMisses() const noexcept { return consecutiveMisses_; }
    bool lastReplyReceived() const noexcept;
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
    void appendOnMain(std::string_view kind, std::string line);
    // Posts `lines`, which logs lines decided now: the messages handed over
    // after this call stay after them in the log.
    void postLines(std::function<void(OSCManager&)> lines);
    // Logs the received lines that wait first.
    void append(LineEvent event, std::string line);
    void appendNow(LineEvent event, std::string line);
    void takeReceived();
    void postTake();
    void logReceived(detail::ReceivedLine received);
    void publishStatistics();
    void noteRoundTrip(MonitorTime roundTrip);
    void alert(bool reminder);
    void startReminders();
    void endMute(std::string_view why);
    void runHook(bool state);
    void sendStateMessage(bool state);

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

    // Shared with the receive handlers; see detail::Inbox.
    std::shared_ptr<detail::Inbox> inbox_;
    // While the waiting lines are being logged: a line that one of them
    // brings (a slow link) follows it at once.
    bool takingReceived_ = false;
    // Whether a take was asked for during one, and so must follow it.
    bool takeAgain_ = false;

    dispatch::Cancellable pingTimer_;
    // The ping timer's period, and when (on the main loop's clock) the last
    // tick came, so that a tick can tell when it comes late; whether that
    // tick was late, and whether its silence was let off.
    dispatch::Duration pingPeriod_{0};
    dispatch::Duration lastTickAt_{0};
    bool lastTickLate_ = false;
    bool lastTickExcused_ = false;
    // Intervals since the last reply in which only other messages came, and
    // whether that has been said since.
    std::int64_t unmatchedIntervals_ = 0;
    bool unmatchedReported_ = false;
    std::string appendingSender_;
    std::int64_t consecutiveMisses_ = 0;
    std::int64_t consecutiveReplies_ = 0;
    LineEvent appendingEvent_;

    LinkQuality quality_;
    bool slow_ = false;
    dispatch::Cancellable reminderTimer_;
    MonitorTime deadSince_{0};
    // Ends of timed mutes carry the number of the mute they end; a later
    // mute or unmute makes them stale.
    std::uint64_t muteNumber_ = 0;
    std::unique_ptr<HookRunner> hooks_;
    net::OSCClient stateClient_;
    // Over TCP only; main thread. Whether the transport is TCP, for the
    // server's start task on the shared executor; and whether a ping of the
    // current interval could not be sent (set on the link's queue).
    std::unique_ptr<TCPLink> link_;
    std::atomic<bool> tcpMode_{false};
    std::atomic<bool> pingUnsent_{false};
    std::vector<dispatch::Cancellable> cancellables_;
};

}  // namespace vorn::monitor
