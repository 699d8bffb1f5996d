// The parts of the link monitor beyond the seven lines of its log: the
// figures it publishes, the slow-link warning, reminders and mute, and what
// it does on a change of state (the user's command, the user's OSC message).

#include "monitor/OSCManager.h"

#include "ascii/VisibleText.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <utility>

namespace vorn::monitor {

namespace {

constexpr std::string_view slowIcon = "\xE2\x8F\xB1\xEF\xB8\x8F ";
constexpr std::string_view reminderIcon = "\xE2\x8F\xB0 ";
constexpr std::string_view mutedIcon = "\xF0\x9F\x94\x95 ";
constexpr std::string_view unmutedIcon = "\xF0\x9F\x94\x94 ";
constexpr std::string_view failedIcon = "\xE2\x80\xBC\xEF\xB8\x8F ";
constexpr std::string_view messageIcon = "\xF0\x9F\x93\xA3 ";
constexpr std::string_view openQuote = "\xE2\x80\x9C";
constexpr std::string_view closeQuote = "\xE2\x80\x9D";

std::string millisecondsText(MonitorTime time) {
    const double ms = milliseconds(time);
    char text[48];
    std::snprintf(text, sizeof text, ms < 10 ? "%.1f ms" : "%.0f ms", ms);
    return text;
}

// "45 s", "15 min", "1 h", "1 h 30 min": as a person says a span.
std::string spanText(dispatch::Duration span) {
    using namespace std::chrono;
    const auto secs = duration_cast<seconds>(span).count();
    if (secs < 60) {
        return std::to_string(secs) + " s";
    }
    const auto mins = secs / 60;
    if (mins < 60) {
        return std::to_string(mins) + " min";
    }
    return std::to_string(mins / 60) + " h" + (mins % 60 == 0 ? "" : " " + std::to_string(mins % 60) + " min");
}

std::string targetText(const std::string& host, std::int64_t port) {
    const std::string visible = ascii::visibleText(host);
    return (visible.find(':') != std::string::npos ? "[" + visible + "]" : visible) + ":" + std::to_string(port);
}

}  // namespace

LinkStatistics OSCManager::currentStatistics() const {
    LinkStatistics figures = quality_.statistics(mainLoop_.now());
    figures.slow = slow_;
    return figures;
}

void OSCManager::publishStatistics() {
    statistics = currentStatistics();
}

void OSCManager::noteRoundTrip(MonitorTime roundTrip) {
    const std::int64_t threshold = settings_->slowRoundTripMs.get();
    const bool slow = threshold > 0 && milliseconds(roundTrip) > static_cast<double>(threshold);
    if (slow == slow_) {
        return;
    }
    slow_ = slow;
    if (slow) {
        append({"slow"}, std::string(slowIcon) + "Slow link: round trip " + millisecondsText(roundTrip) +
                             ", above " + std::to_string(threshold) + " ms");
    } else {
        append({"slowEnded"}, std::string(slowIcon) + "Link no longer slow: round trip " + millisecondsText(roundTrip));
    }
}

void OSCManager::alert(bool reminder) {
    if (alert_ && settings_->alarmEnabled.get() && !mute->muted) {
        alert_->alertDeadLink({reminder, settings_->alarmSound.get()});
    }
}

void OSCManager::startReminders() {
    deadSince_ = mainLoop_.now();
    reminderTimer_.cancel();
    const std::int64_t minutes = settings_->deadReminderMinutes.get();
    if (minutes <= 0) {
        return;
    }
    reminderTimer_ = mainLoop_.startRepeatingTimer(std::chrono::minutes(minutes), [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->append({"reminder"}, std::string(reminderIcon) + "Link still DEAD after " +
                                       spanText(self->mainLoop_.now() - self->deadSince_));
        self->alert(true);
    });
}

void OSCManager::muteAlarms(dispatch::Duration duration) {
    if (duration <= dispatch::Duration{0}) {
        return;
    }
    const std::uint64_t number = ++muteNumber_;
    mute = MuteState{true, false, mainLoop_.now() + duration};
    append({"muted"}, std::string(mutedIcon) + "Alarms muted for " + spanText(duration));
    mainLoop_.postAfter(duration, [weak = weak_from_this(), number] {
        if (auto self = weak.lock(); self && self->muteNumber_ == number) {
            self->endMute("the mute time is up");
        }
    });
}

void OSCManager::muteAlarmsUntilAlive() {
    ++muteNumber_;
    mute = MuteState{true, true, std::nullopt};
    append({"muted"}, std::string(mutedIcon) + "Alarms muted until ALIVE");
}

void OSCManager::unmuteAlarms() {
    if (mute->muted) {
        endMute({});
    }
}

void OSCManager::toggleMute() {
    if (mute->muted) {
        unmuteAlarms();
    } else {
        muteAlarmsUntilAlive();
    }
}

void OSCManager::endMute(std::string_view why) {
    ++muteNumber_;
    mute = MuteState{};
    append({"unmuted"}, std::string(unmutedIcon) + "Alarms unmuted" + (why.empty() ? "" : ": " + std::string(why)));
}

void OSCManager::runHook(bool state) {
    const std::string command = state ? settings_->onAliveCommand.get() : settings_->onDeadCommand.get();
    const std::string_view hook = state ? "on-alive" : "on-dead";
    std::string why;
    auto argv = splitCommand(command, &why);
    if (argv && argv->empty()) {
        return;
    }
    if (!argv) {
        append({"hookFailed"}, std::string(failedIcon) + std::string(hook) + " command not run: " + why);
        return;
    }
    if (!hooks_) {
        hooks_ = std::make_unique<HookRunner>([weak = weak_from_this(), loop = &mainLoop_](HookRunner::Kind kind,
                                                                                          std::string line) {
            loop->post([weak, event = kind.event, line = std::move(line)]() mutable {
                if (auto self = weak.lock()) {
                    self->append({event}, std::move(line));
                }
            });
        });
    }
    hooks_->run(hook, std::move(*argv),
                {{"VORN_STATE", state ? "ALIVE" : "DEAD"},
                 {"VORN_TIME", isoUtc(std::chrono::system_clock::now())},
                 {"VORN_TARGET", targetText(settings_->targetIP.get(), settings_->targetPort.get())}});
}

void OSCManager::sendStateMessage(bool state) {
    const std::string& text = settings_->stateMessage.get();
    if (text.empty()) {
        return;
    }
    std::string why;
    const auto target = parseStateMessage(text, &why);
    if (!target) {
        append({"stateMessageFailed"}, std::string(failedIcon) + "State message not sent: " + why);
        return;
    }
    const std::string stateText = state ? "ALIVE" : "DEAD";
    try {
        stateClient_.send(osc::OSCMessage(osc::OSCAddressPattern(target->address), {osc::OSCValue(stateText)}),
                          target->host, target->port,
                          [weak = weak_from_this()](const std::optional<udp::SocketError>& failure) {
                              if (!failure) {
                                  return;
                              }
                              if (auto self = weak.lock()) {
                                  self->appendOnMain("stateMessageFailed",
                                                     std::string(failedIcon) + "Error sending state message: " +
                                                         failure->localizedDescription());
                              }
                          });
    } catch (const std::exception& error) {
        append({"stateMessageFailed"}, std::string(failedIcon) + "Error sending state message: " + error.what());
        return;
    }
    append({"stateMessage"}, std::string(messageIcon) + "Sent " + std::string(openQuote) + target->address +
                                 std::string(closeQuote) + " " + std::string(openQuote) + stateText +
                                 std::string(closeQuote) + " to " + targetText(target->host, target->port));
}

}  // namespace vorn::monitor
