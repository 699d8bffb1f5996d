#include "monitor/OSCManager.h"

#include "ascii/VisibleText.h"
#include "dispatch/ConcurrentQueue.h"
#include "monitor/detail/Inbox.h"
#include "net/OSCTimeTagMode.h"
#include "osc/OSCAddressPattern.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace vorn::monitor {

namespace {

// Log prefixes, spelled as UTF-8 bytes so that no editor or compiler charset
// setting can change what lands in an exported log.
constexpr std::string_view restartedPrefix = "\xF0\x9F\x94\x81 OSC server restarted on port ";
constexpr std::string_view listeningPrefix = "\xE2\x9C\x85 OSC server listening on port ";
constexpr std::string_view startFailedPrefix = "\xE2\x9D\x8C Failed to start OSC server: ";
constexpr std::string_view sentPrefix = "\xE2\x86\x92 Sent ping \xE2\x80\x9C";
constexpr std::string_view sendFailedPrefix = "\xE2\x80\xBC\xEF\xB8\x8F Error sending ping: ";
constexpr std::string_view stateChangedPrefix = "\xF0\x9F\x94\x84 State changed to ";
constexpr std::string_view closeQuote = "\xE2\x80\x9D";
constexpr std::string_view unmatchedPrefix = "\xE2\x9A\xA0\xEF\xB8\x8F messages arrive from ";
constexpr std::string_view unmatchedMiddle = " but none contains \xE2\x80\x9C";
// Intervals with messages but no reply before the monitor says so: as many as
// make a link DEAD, so that the line comes with the verdict it explains.
constexpr std::int64_t unmatchedIntervalsToReport = 2;

std::string concat(std::initializer_list<std::string_view> parts) {
    std::size_t size = 0;
    for (const auto part : parts) {
        size += part.size();
    }
    std::string text;
    text.reserve(size);
    for (const auto part : parts) {
        text.append(part);
    }
    return text;
}

// Only a hand-edited settings file holds a port outside 0 to 65535; such a
// value is refused rather than wrapped onto some other port.
std::optional<std::uint16_t> toPort(std::int64_t value) {
    if (value < 0 || value > std::numeric_limits<std::uint16_t>::max()) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

std::string portOutOfRange(std::string_view which, std::int64_t value) {
    return concat({which, " port ", std::to_string(value), " is outside the range 0 to 65535."});
}

// The settings keep the interval within range on every assignment; only the
// memberwise constructor can hand over something else. A period that is not
// positive would fire without end, one beyond any show would overflow the
// clock, so both fall back to sane values instead.
dispatch::Duration timerPeriod(double seconds) {
    if (!std::isfinite(seconds) || seconds <= 0) {
        seconds = OSCSettings::Defaults::pingInterval;
    }
    seconds = std::min(seconds, OSCSettings::maxPingInterval);
    return std::chrono::duration_cast<dispatch::Duration>(std::chrono::duration<double>(seconds));
}

std::shared_ptr<net::OSCServer> makeServer(std::int64_t receivePort) {
    const auto port = toPort(receivePort);
    return port ? net::OSCServer::create(*port, net::OSCTimeTagMode::ignore) : nullptr;
}

}  // namespace

std::shared_ptr<OSCManager> OSCManager::create(std::shared_ptr<OSCSettings> settings, dispatch::MainLoop& mainLoop,
                                               std::shared_ptr<DeadLinkAlert> alert,
                                               std::shared_ptr<udp::SystemCalls> pingSystem) {
    auto manager =
        std::make_shared<OSCManager>(Key{}, std::move(settings), mainLoop, std::move(alert), std::move(pingSystem));
    // The observations hold the monitor weakly, which needs it owned first.
    manager->observeSettings();
    return manager;
}

OSCManager::OSCManager(Key, std::shared_ptr<OSCSettings> settings, dispatch::MainLoop& mainLoop,
                       std::shared_ptr<DeadLinkAlert> alert, std::shared_ptr<udp::SystemCalls> pingSystem)
    : isAlive(false, &objectWillChange),
      log(&objectWillChange),
      heartbeatCount(0, &objectWillChange),
      statistics(LinkStatistics{}),
      mute(MuteState{}),
      settings_(settings ? std::move(settings) : throw std::invalid_argument("OSCManager needs settings")),
      mainLoop_(mainLoop),
      alert_(std::move(alert)),
      clientPool_(clientCount, pingSystem),
      server_(makeServer(settings_->receivePort.get())),
      refusedReceivePort_(settings_->receivePort.get()),
      inbox_(std::make_shared<detail::Inbox>(settings_->desiredReply.get(), waitingLinesLimit)),
      // The wall-clock time of the loop's time 0, for reports: taken once,
      // so that a clock set during the show does not bend the figures.
      quality_(std::chrono::system_clock::now() -
               std::chrono::duration_cast<std::chrono::system_clock::duration>(mainLoop.now())),
      stateClient_(std::move(pingSystem)) {
    statistics = quality_.statistics(mainLoop_.now());
}

OSCManager::~OSCManager() {
    // Settings changes and ticks must not reach a monitor that is half gone.
    cancellables_.clear();
    pingTimer_.cancel();
    reminderTimer_.cancel();
}

void OSCManager::observeSettings() {
    const std::weak_ptr<OSCManager> weak = weak_from_this();

    // The snapshot that the reply check reads off the main thread. The
    // property hands over the value it is about to store, so the snapshot
    // never lags the assignment.
    cancellables_.push_back(settings_->desiredReply.subscribe([weak](const std::string& value) {
        if (auto self = weak.lock()) {
            self->inbox_->setDesiredReply(value);
        }
    }));

    listenOnPingPort(settings_->listenOnPingPort.get());
    cancellables_.push_back(settings_->listenOnPingPort.subscribeDistinct([weak](const bool& flag) {
        if (auto self = weak.lock()) {
            self->listenOnPingPort(flag);
        }
    }));

    cancellables_.push_back(settings_->receivePort.subscribeDistinct([weak](const std::int64_t&) {
        if (auto self = weak.lock()) {
            self->restartServer();
        }
    }));
    // After the assignment, so that the new value is the one in force.
    cancellables_.push_back(settings_->transport.subscribeDistinct([weak](const std::string&) {
        if (auto self = weak.lock()) {
            self->mainLoop_.post([weak] {
                if (auto current = weak.lock(); current && current->usesTCP() != current->tcpMode_.load()) {
                    current->restartServer();
                }
            });
        }
    }));
    // Over UDP a new target needs nothing beyond the timer restart above.
    auto retarget = [weak](const auto&) {
        if (auto self = weak.lock(); self && self->tcpMode_.load()) {
            self->mainLoop_.post([weak] {
                if (auto current = weak.lock(); current && current->tcpMode_.load()) {
                    current->updateLink();
                }
            });
        }
    };
    cancellables_.push_back(settings_->targetIP.subscribeDistinct(retarget));
    cancellables_.push_back(settings_->targetPort.subscribeDistinct(retarget));
    auto restartTimer = [weak](const auto&) {
        if (auto self = weak.lock()) {
            self->startPingTimer();
        }
    };
    cancellables_.push_back(settings_->pingInterval.subscribe(restartTimer));
    cancellables_.push_back(settings_->targetIP.subscribe(restartTimer));
    cancellables_.push_back(settings_->targetPort.subscribe(restartTimer));
}

std::shared_ptr<net::OSCServer> OSCManager::server() const {
    std::lock_guard lock(serverMutex_);
    return server_;
}

void OSCManager::startPingTimer() {
    pingTimer_.cancel();
    pingPeriod_ = timerPeriod(settings_->pingInterval.get());
    lastTickAt_ = mainLoop_.now();
    lastTickLate_ = false;
    lastTickExcused_ = false;
    pingTimer_ = mainLoop_.startRepeatingTimer(pingPeriod_,
                                               [weak = weak_from_this()] {
                                                   if (auto self = weak.lock()) {
                                                       self->sendPing();
                                                   }
                                               });
}

bool OSCManager::usesTCP() const {
    return settings_->transport.get() != OSCSettings::Transports::udp;
}

// Main thread. The connection for the current target and framing, made anew
// only when one of them changed.
void OSCManager::updateLink() {
    const auto port = toPort(settings_->targetPort.get());
    if (!usesTCP() || !port) {
        // A port out of range has its own line at every ping.
        link_.reset();
        return;
    }
    const auto framing =
        settings_->transport.get() == OSCSettings::Transports::tcpSlip ? net::OSCFraming::slip
                                                                      : net::OSCFraming::lengthPrefixed;
    const std::string host = settings_->targetIP.get();
    if (link_ && link_->leadsTo(host, *port, framing)) {
        return;
    }
    link_.reset();
    link_ = std::make_unique<TCPLink>(mainLoop_, host, *port, framing, incomingHandler(),
                                      [weak = weak_from_this()](std::string_view kind, std::string line) {
                                          if (auto self = weak.lock()) {
                                              self->append({kind}, std::move(line));
                                          }
                                      });
}

void OSCManager::restartServer() {
    const std::int64_t receivePort = settings_->receivePort.get();
    std::shared_ptr<net::OSCServer> previous;
    {
        std::lock_guard lock(serverMutex_);
        previous = std::move(server_);
    }
    if (previous) {
        previous->stop();
    }
    tcpMode_ = usesTCP();
    if (tcpMode_) {
        updateLink();
        return;
    }
    link_.reset();
    auto replacement = makeServer(receivePort);
    {
        std::lock_guard lock(serverMutex_);
        server_ = std::move(replacement);
        refusedReceivePort_ = receivePort;
    }
    startServerTask();
    append({"restart"}, concat({restartedPrefix, std::to_string(receivePort)}));
}

void OSCManager::startServerTask() {
    if (tcpMode_.load()) {
        return;
    }
    dispatch::sharedExecutor()->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->startCurrentServer();
        }
    });
}

// On the shared executor.
void OSCManager::startCurrentServer() {
    std::shared_ptr<net::OSCServer> server;
    std::int64_t refusedPort = 0;
    {
        std::lock_guard lock(serverMutex_);
        server = server_;
        refusedPort = refusedReceivePort_;
    }
    if (!server) {
        if (tcpMode_.load()) {
            // The transport changed to TCP while this task waited.
            return;
        }
        appendOnMain("startFailed", concat({startFailedPrefix, portOutOfRange("Receive", refusedPort)}));
        return;
    }
    try {
        // Two start tasks can overlap (a restart, then the window being
        // shown); a server started twice at once would bind twice.
        std::lock_guard startLock(startMutex_);
        server->start();
    } catch (const std::exception& error) {
        appendOnMain("startFailed", concat({startFailedPrefix, error.what()}));
        return;
    }
    // A restart may have replaced the server while it was starting; the
    // handler goes to whichever is current, as a later start expects. It is
    // queued on the server before the line is, so that once the log says
    // "listening" no reply that follows can miss the handler.
    if (auto current = this->server()) {
        current->setHandler(incomingHandler());
    }
    postLines([](OSCManager& self) {
        self.append({"listening"}, concat({listeningPrefix, std::to_string(self.settings_->receivePort.get())}));
    });
}

// Every client of the pool, whether or not it has sent yet: each starts
// reading once its first ping has bound its port, and keeps its port, so an
// answer to any ping of the rotation finds someone listening.
void OSCManager::listenOnPingPort(bool flag) {
    for (const auto& client : clientPool_.clients()) {
        client->setReceiveHandler(flag ? incomingHandler() : nullptr);
    }
}

void OSCManager::sendPing() {
    if (settings_->passive.get()) {
        judgeInterval();
        return;
    }
    const auto client = clientPool_.nextClient();
    const std::string pingMessage = settings_->pingMessage.get();
    const std::string targetIP = settings_->targetIP.get();
    const std::int64_t targetPort = settings_->targetPort.get();

    std::string line;
    std::string_view kind = "pingFailed";
    const auto failed = [weak = weak_from_this(), overTCP = link_ != nullptr](
                            const std::optional<udp::SocketError>& failure) {
        if (!failure) {
            return;
        }
        if (auto self = weak.lock()) {
            if (overTCP) {
                self->pingUnsent_.store(true);
            }
            self->appendOnMain("pingFailed", concat({sendFailedPrefix, failure->localizedDescription()}));
        }
    };
    if (const auto port = toPort(targetPort); !port) {
        line = concat({sendFailedPrefix, portOutOfRange("Target", targetPort)});
    } else if (link_) {
        try {
            // Over the one connection; without one, the completion says so
            // at once and the interval goes unanswered.
            const auto sentAt = mainLoop_.now();
            link_->send(osc::OSCMessage(osc::OSCAddressPattern(pingMessage)), failed);
            quality_.pingSent(sentAt);
            kind = "ping";
            line = concat({sentPrefix, pingMessage, closeQuote, " to ", targetIP, ":", std::to_string(targetPort)});
        } catch (const std::exception& error) {
            line = concat({sendFailedPrefix, error.what()});
        }
    } else if (client) {
        try {
            // Whether the ping really left is known only later, on the
            // client's queue: the name may not resolve, the kernel may refuse
            // it. The line below says it was handed over; a failure follows
            // as a line of its own, one per ping, so that a mistyped host
            // shows up at every interval rather than as a mere DEAD.
            // Taken as the ping is handed over: the round trip of the reply
            // that follows runs from here.
            const auto sentAt = mainLoop_.now();
            client->send(osc::OSCMessage(osc::OSCAddressPattern(pingMessage)), targetIP, *port, failed);
            quality_.pingSent(sentAt);
            kind = "ping";
            line = concat({sentPrefix, pingMessage, closeQuote, " to ", targetIP, ":", std::to_string(targetPort)});
        } catch (const std::exception& error) {
            line = concat({sendFailedPrefix, error.what()});
        }
    }
    if (!line.empty()) {
        append({kind}, std::move(line));
    }
    judgeInterval();
}

void OSCManager::judgeInterval() {
    // A tick that comes more than half a period after its time ends an
    // interval in which the monitor itself was held up: its main thread
    // blocked, or the whole program stopped with the answers to the last
    // ping still unread in the socket. Silence over such a span says nothing
    // about the link, so it is not held against it; nor is the silence of
    // the tick that may follow within half a period, on the timer's grid,
    // before the late ping could be answered. A reply counts all the same.
    // A late tick is let off only when the tick before it was not, so that
    // a loop that is always late still finds a dead link.
    const dispatch::Duration now = mainLoop_.now();
    const dispatch::Duration sinceLastTick = now - lastTickAt_;
    const bool late = sinceLastTick > pingPeriod_ + pingPeriod_ / 2;
    // A ping that could not be sent leaves nothing to wait for: that
    // interval is a miss whatever the clock says.
    const bool unsent = pingUnsent_.exchange(false);
    const bool excused = !unsent && (late ? !lastTickExcused_
                                          : lastTickExcused_ && lastTickLate_ && sinceLastTick < pingPeriod_ / 2);
    lastTickAt_ = now;
    lastTickLate_ = late;
    lastTickExcused_ = excused;

    // Taken and cleared in one step: a reply that lands while this tick runs
    // counts for the next interval instead of vanishing.
    const bool replied = inbox_->takeReplyReceived();
    noteUnmatched(replied, inbox_->takeOtherReceived());
    if (replied) {
        consecutiveMisses_ = 0;
        ++consecutiveReplies_;
        if (isAlive.get() || consecutiveReplies_ >= settings_->repliesBeforeAlive.get()) {
            updateAliveState(true);
        }
    } else if (!excused) {
        consecutiveReplies_ = 0;
        ++consecutiveMisses_;
        if (consecutiveMisses_ >= settings_->missesBeforeDead.get()) {
            updateAliveState(false);
        }
    }
    publishStatistics();
}

// A wrong reply text, or a device that answers somewhere other than where it
// is heard, looks like silence; messages that keep coming without a reply
// say which it is. Said once, and again only after a reply came in between.
void OSCManager::noteUnmatched(bool replied, bool otherMessages) {
    if (replied) {
        unmatchedIntervals_ = 0;
        unmatchedReported_ = false;
        return;
    }
    if (!otherMessages || unmatchedReported_ || ++unmatchedIntervals_ < unmatchedIntervalsToReport) {
        return;
    }
    unmatchedReported_ = true;
    const std::string sender = inbox_->lastOtherSender();
    const std::string desiredReply = inbox_->desiredReply();
    append({"unmatched"}, concat({unmatchedPrefix, sender.empty() ? std::string_view("an unknown sender") : sender,
                       unmatchedMiddle, ascii::visibleText(desiredReply), closeQuote}));
}

void OSCManager::updateAliveState(bool state) {
    quality_.verdict(state, mainLoop_.now());
    if (isAlive.get() == state) {
        return;
    }
    isAlive = state;
    // In a later turn, so that the tick's own ping line comes first.
    postLines([state](OSCManager& self) { self.handleStateChange(state); });
}

void OSCManager::handleStateChange(bool state) {
    LineEvent event{"state"};
    event.state = state;
    append(std::move(event), concat({stateChangedPrefix, state ? "ALIVE" : "DEAD"}));
    if (state) {
        reminderTimer_.cancel();
        if (mute->muted && mute->untilAlive) {
            endMute("the link is ALIVE");
        }
    } else {
        alert(false);
        startReminders();
    }
    runHook(state);
    sendStateMessage(state);
}

void OSCManager::appendOnMain(std::string_view kind, std::string line) {
    postLines([kind, line = std::move(line)](OSCManager& self) mutable { self.append({kind}, std::move(line)); });
}

}  // namespace vorn::monitor
