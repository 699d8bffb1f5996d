#include "monitor/OSCSettings.h"

#include "ascii/Graphemes.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <utility>

namespace vorn::monitor {
namespace {

std::shared_ptr<SettingsStore> required(std::shared_ptr<SettingsStore> store) {
    if (!store) {
        throw std::invalid_argument("OSCSettings needs a settings store");
    }
    return store;
}

// A stored number that a double holds exactly; Booleans and texts are not
// numbers here, and integers beyond 2^53 that would round are not taken.
std::optional<double> exactDouble(const std::optional<SettingsValue>& value) {
    if (!value) {
        return std::nullopt;
    }
    if (const auto* d = std::get_if<double>(&*value)) {
        return *d;
    }
    if (const auto* i = std::get_if<std::int64_t>(&*value)) {
        const auto d = static_cast<double>(*i);
        // 2^63 itself does not fit back into an int64; below it the round trip
        // is defined and tells whether the conversion was exact.
        if (d < 9223372036854775808.0 && static_cast<std::int64_t>(d) == *i) {
            return d;
        }
    }
    return std::nullopt;
}

double loadClamped(const SettingsStore& store, std::string_view key, double fallback, double low, double high) {
    const auto number = exactDouble(store.objectForKey(key));
    if (!number || std::isnan(*number)) {
        return fallback;
    }
    if (*number <= low) {
        return low;
    }
    return *number > high ? high : *number;
}

std::int64_t loadPort(const SettingsStore& store, std::string_view key, std::int64_t fallback) {
    const std::int64_t port = store.integerForKey(key);
    return port == 0 ? fallback : port;
}

bool loadBool(const SettingsStore& store, std::string_view key, bool fallback) {
    const auto value = store.objectForKey(key);
    return value && std::holds_alternative<bool>(*value) ? std::get<bool>(*value) : fallback;
}

std::int64_t loadCount(const SettingsStore& store, std::string_view key, std::int64_t fallback, std::int64_t low,
                       std::int64_t high) {
    const auto value = store.objectForKey(key);
    if (!value || !std::holds_alternative<std::int64_t>(*value)) {
        return fallback;
    }
    return std::clamp(std::get<std::int64_t>(*value), low, high);
}

std::string loadText(const SettingsStore& store, std::string_view key, std::string_view fallback) {
    return store.stringForKey(key).value_or(std::string(fallback));
}

}  // namespace

struct OSCSettings::Loaded {
    std::string targetIP;
    std::int64_t targetPort;
    std::int64_t receivePort;
    std::string pingMessage;
    std::string desiredReply;
    double pingInterval;
    bool alwaysOnTop;
    double opacity;
    bool alarmEnabled;
    std::string title;
    bool listenOnPingPort;
    bool passive;
    std::string transport;
    std::int64_t missesBeforeDead;
    std::int64_t repliesBeforeAlive;
    std::int64_t slowRoundTripMs;
    std::int64_t deadReminderMinutes;
    bool alarmSound;
    std::string onDeadCommand;
    std::string onAliveCommand;
    std::string stateMessage;
};

OSCSettings::Loaded OSCSettings::load(const std::shared_ptr<SettingsStore>& store) {
    const SettingsStore& s = *required(store);
    Loaded loaded{};
    loaded.targetIP = loadText(s, Keys::targetIP, Defaults::targetIP);
    loaded.targetPort = loadPort(s, Keys::targetPort, Defaults::targetPort);
    loaded.receivePort = loadPort(s, Keys::receivePort, Defaults::receivePort);
    loaded.pingMessage = loadText(s, Keys::pingMessage, Defaults::pingMessage);
    loaded.desiredReply = loadText(s, Keys::desiredReply, Defaults::desiredReply);
    loaded.pingInterval = loadClamped(s, Keys::pingInterval, Defaults::pingInterval, minPingInterval, maxPingInterval);
    loaded.alwaysOnTop = s.boolForKey(Keys::alwaysOnTop);
    loaded.opacity = loadClamped(s, Keys::opacity, Defaults::opacity, minOpacity, maxOpacity);
    loaded.alarmEnabled = loadBool(s, Keys::alarmEnabled, Defaults::alarmEnabled);
    // Shortened only when next assigned, so the user sees what they stored.
    loaded.title = loadText(s, Keys::title, Defaults::title);
    loaded.listenOnPingPort = loadBool(s, Keys::listenOnPingPort, Defaults::listenOnPingPort);
    loaded.passive = loadBool(s, Keys::passive, Defaults::passive);
    loaded.transport = loadText(s, Keys::transport, Defaults::transport);
    if (!isTransport(loaded.transport)) {
        loaded.transport = std::string(Defaults::transport);
    }
    loaded.missesBeforeDead = loadCount(s, Keys::missesBeforeDead, Defaults::missesBeforeDead, 1, maxStateCount);
    loaded.repliesBeforeAlive =
        loadCount(s, Keys::repliesBeforeAlive, Defaults::repliesBeforeAlive, 1, maxStateCount);
    loaded.slowRoundTripMs = loadCount(s, Keys::slowRoundTripMs, Defaults::slowRoundTripMs, 0, maxSlowRoundTripMs);
    loaded.deadReminderMinutes =
        loadCount(s, Keys::deadReminderMinutes, Defaults::deadReminderMinutes, 0, maxDeadReminderMinutes);
    loaded.alarmSound = loadBool(s, Keys::alarmSound, Defaults::alarmSound);
    loaded.onDeadCommand = loadText(s, Keys::onDeadCommand, Defaults::onDeadCommand);
    loaded.onAliveCommand = loadText(s, Keys::onAliveCommand, Defaults::onAliveCommand);
    loaded.stateMessage = loadText(s, Keys::stateMessage, Defaults::stateMessage);
    return loaded;
}

OSCSettings::OSCSettings(std::shared_ptr<SettingsStore> store) : OSCSettings(load(store), store) {}

OSCSettings::OSCSettings(Loaded loaded, std::shared_ptr<SettingsStore> store)
    : OSCSettings(std::move(loaded.targetIP), loaded.targetPort, loaded.receivePort, std::move(loaded.pingMessage),
                  std::move(loaded.desiredReply), loaded.pingInterval, loaded.alwaysOnTop, loaded.opacity,
                  loaded.alarmEnabled, std::move(loaded.title), std::move(store), loaded.listenOnPingPort,
                  loaded.passive, std::move(loaded.transport)) {
    assignLoaded(loaded);
}

// The settings that the memberwise constructor leaves at their defaults,
// taken as the store holds them; nothing observes them yet, and nothing is
// written back.
void OSCSettings::assignLoaded(Loaded& loaded) {
    const bool outer = std::exchange(takingStoredValues_, true);
    missesBeforeDead = loaded.missesBeforeDead;
    repliesBeforeAlive = loaded.repliesBeforeAlive;
    slowRoundTripMs = loaded.slowRoundTripMs;
    deadReminderMinutes = loaded.deadReminderMinutes;
    alarmSound = loaded.alarmSound;
    onDeadCommand = std::move(loaded.onDeadCommand);
    onAliveCommand = std::move(loaded.onAliveCommand);
    stateMessage = std::move(loaded.stateMessage);
    takingStoredValues_ = outer;
}

OSCSettings::OSCSettings(std::string targetIP_, std::int64_t targetPort_, std::int64_t receivePort_,
                         std::string pingMessage_, std::string desiredReply_, double pingInterval_, bool alwaysOnTop_,
                         double opacity_, bool alarmEnabled_, std::string title_,
                         std::shared_ptr<SettingsStore> store, bool listenOnPingPort_, bool passive_,
                         std::string transport_)
    : targetIP(std::move(targetIP_), &objectWillChange, [this] { writeBack(targetIP); }),
      targetPort(targetPort_, &objectWillChange, [this] { writeBack(targetPort); }),
      receivePort(receivePort_, &objectWillChange, [this] { writeBack(receivePort); }),
      pingMessage(std::move(pingMessage_), &objectWillChange, [this] { writeBack(pingMessage); }),
      desiredReply(std::move(desiredReply_), &objectWillChange, [this] { writeBack(desiredReply); }),
      pingInterval(pingInterval_, &objectWillChange,
                   [this] {
                       bringIntoRange(pingInterval, Defaults::pingInterval, minPingInterval, maxPingInterval);
                       writeBack(pingInterval);
                   }),
      alwaysOnTop(alwaysOnTop_, &objectWillChange, [this] { writeBack(alwaysOnTop); }),
      opacity(opacity_, &objectWillChange,
              [this] {
                  bringIntoRange(opacity, Defaults::opacity, minOpacity, maxOpacity);
                  writeBack(opacity);
              }),
      alarmEnabled(alarmEnabled_, &objectWillChange, [this] { writeBack(alarmEnabled); }),
      title(std::move(title_), &objectWillChange,
            [this] {
                sanitiseTitle();
                writeBack(title);
            }),
      listenOnPingPort(listenOnPingPort_, &objectWillChange, [this] { writeBack(listenOnPingPort); }),
      passive(passive_, &objectWillChange, [this] { writeBack(passive); }),
      transport(std::move(transport_), &objectWillChange,
                [this] {
                    // Only what the monitor knows is kept; anything else is UDP.
                    if (!isTransport(transport.get())) {
                        transport = std::string(Defaults::transport);
                    }
                    writeBack(transport);
                }),
      missesBeforeDead(Defaults::missesBeforeDead, &objectWillChange,
                       [this] {
                           bringIntoRange(missesBeforeDead, 1, maxStateCount);
                           writeBack(missesBeforeDead);
                       }),
      repliesBeforeAlive(Defaults::repliesBeforeAlive, &objectWillChange,
                         [this] {
                             bringIntoRange(repliesBeforeAlive, 1, maxStateCount);
                             writeBack(repliesBeforeAlive);
                         }),
      slowRoundTripMs(Defaults::slowRoundTripMs, &objectWillChange,
                      [this] {
                          bringIntoRange(slowRoundTripMs, 0, maxSlowRoundTripMs);
                          writeBack(slowRoundTripMs);
                      }),
      deadReminderMinutes(Defaults::deadReminderMinutes, &objectWillChange,
                          [this] {
                              bringIntoRange(deadReminderMinutes, 0, maxDeadReminderMinutes);
                              writeBack(deadReminderMinutes);
                          }),
      alarmSound(Defaults::alarmSound, &objectWillChange, [this] { writeBack(alarmSound); }),
      onDeadCommand(std::string(Defaults::onDeadCommand), &objectWillChange, [this] { writeBack(onDeadCommand); }),
      onAliveCommand(std::string(Defaults::onAliveCommand), &objectWillChange,
                     [this] { writeBack(onAliveCommand); }),
      stateMessage(std::string(Defaults::stateMessage), &objectWillChange, [this] { writeBack(stateMessage); }),
      defaults_(required(std::move(store))) {}

// Each correction is a full assignment, which runs its own write-back; the
// caller's write-back then writes the corrected value once more.
void OSCSettings::bringIntoRange(dispatch::Published<double>& setting, double fallback, double low, double high) {
    if (std::isnan(setting.get())) {
        // Neither below nor above the range, yet no timer or window can use it.
        setting = fallback;
    }
    if (setting.get() < low) {
        setting = low;
    }
    if (setting.get() > high) {
        setting = high;
    }
}

void OSCSettings::bringIntoRange(dispatch::Published<std::int64_t>& setting, std::int64_t low, std::int64_t high) {
    if (setting.get() < low) {
        setting = low;
    }
    if (setting.get() > high) {
        setting = high;
    }
}

void OSCSettings::sanitiseTitle() {
    if (ascii::graphemeCount(title.get()) > maxTitleLength) {
        title = ascii::graphemePrefix(title.get(), maxTitleLength);
    }
}

template <class T>
void OSCSettings::writeBack(dispatch::Published<T>& setting) {
    if (takingStoredValues_) {
        return;
    }
    defaults_->setObject(SettingsValue{setting.get()}, key(setting));
}

void OSCSettings::takeStoredValues() {
    Loaded stored = load(defaults_);
    const bool outer = std::exchange(takingStoredValues_, true);
    const auto take = [](auto& setting, auto&& value) {
        if (setting.get() != value) {
            setting = std::forward<decltype(value)>(value);
        }
    };
    take(targetIP, std::move(stored.targetIP));
    take(targetPort, stored.targetPort);
    take(receivePort, stored.receivePort);
    take(pingMessage, std::move(stored.pingMessage));
    take(desiredReply, std::move(stored.desiredReply));
    take(pingInterval, stored.pingInterval);
    take(alwaysOnTop, stored.alwaysOnTop);
    take(opacity, stored.opacity);
    take(alarmEnabled, stored.alarmEnabled);
    take(title, std::move(stored.title));
    take(listenOnPingPort, stored.listenOnPingPort);
    take(passive, stored.passive);
    take(transport, std::move(stored.transport));
    take(missesBeforeDead, stored.missesBeforeDead);
    take(repliesBeforeAlive, stored.repliesBeforeAlive);
    take(slowRoundTripMs, stored.slowRoundTripMs);
    take(deadReminderMinutes, stored.deadReminderMinutes);
    take(alarmSound, stored.alarmSound);
    take(onDeadCommand, std::move(stored.onDeadCommand));
    take(onAliveCommand, std::move(stored.onAliveCommand));
    take(stateMessage, std::move(stored.stateMessage));
    takingStoredValues_ = outer;
}

void OSCSettings::followStore(dispatch::MainLoop& loop, dispatch::Duration interval) {
    // A stat of one file per tick: nothing is read until the file changes.
    storeWatch_ = loop.startRepeatingTimer(interval, [this] {
        if (defaults_->refresh()) {
            takeStoredValues();
        }
    });
}

std::string_view OSCSettings::keyFor(const void* setting, std::string_view type) const {
    const std::pair<const void*, std::string_view> table[] = {
        {&targetIP, Keys::targetIP},         {&targetPort, Keys::targetPort},     {&receivePort, Keys::receivePort},
        {&pingMessage, Keys::pingMessage},   {&desiredReply, Keys::desiredReply}, {&pingInterval, Keys::pingInterval},
        {&alwaysOnTop, Keys::alwaysOnTop},   {&opacity, Keys::opacity},           {&alarmEnabled, Keys::alarmEnabled},
        {&title, Keys::title},               {&listenOnPingPort, Keys::listenOnPingPort},
        {&passive, Keys::passive},
        {&transport, Keys::transport},
        {&missesBeforeDead, Keys::missesBeforeDead},
        {&repliesBeforeAlive, Keys::repliesBeforeAlive},
        {&slowRoundTripMs, Keys::slowRoundTripMs},
        {&deadReminderMinutes, Keys::deadReminderMinutes},
        {&alarmSound, Keys::alarmSound},
        {&onDeadCommand, Keys::onDeadCommand},
        {&onAliveCommand, Keys::onAliveCommand},
        {&stateMessage, Keys::stateMessage},
    };
    for (const auto& [candidate, name] : table) {
        if (candidate == setting) {
            return name;
        }
    }
    std::fprintf(stderr, "Unexpected key path: %.*s at %p, not a setting of OSCSettings at %p\n",
                 static_cast<int>(type.size()), type.data(), setting, static_cast<const void*>(this));
    std::abort();
}

}  // namespace vorn::monitor
