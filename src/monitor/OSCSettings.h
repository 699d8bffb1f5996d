#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "dispatch/Published.h"
#include "monitor/SettingsStore.h"

#include <cstddef>
#include <cstdint>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

namespace vorn::monitor {

// The twenty-one user settings, loaded at start and written back to the defaults
// store each time one is assigned; what other programs store meanwhile is
// taken in as it comes (see followStore()).
//
// Assigning a setting tells `objectWillChange`, then the setting's
// subscribers, then stores the value and writes it back, all on the assigning
// thread. `pingInterval`, `opacity` and `title` are brought back into range by
// assigning them again, so observers see the raw value first and then the
// corrected one. Nothing here locks: assign on one thread, or arrange for it.
class OSCSettings {
public:
    struct Keys {
        static constexpr std::string_view targetIP = "targetIP";
        static constexpr std::string_view targetPort = "targetPort";
        static constexpr std::string_view receivePort = "receivePort";
        static constexpr std::string_view pingMessage = "pingMessage";
        static constexpr std::string_view desiredReply = "desiredReply";
        static constexpr std::string_view pingInterval = "pingInterval";
        static constexpr std::string_view alwaysOnTop = "alwaysOnTop";
        static constexpr std::string_view opacity = "opacity";
        static constexpr std::string_view alarmEnabled = "alarmEnabled";
        static constexpr std::string_view title = "title";
        static constexpr std::string_view listenOnPingPort = "listenOnPingPort";
        static constexpr std::string_view passive = "passive";
        static constexpr std::string_view transport = "transport";
        static constexpr std::string_view missesBeforeDead = "missesBeforeDead";
        static constexpr std::string_view repliesBeforeAlive = "repliesBeforeAlive";
        static constexpr std::string_view slowRoundTripMs = "slowRoundTripMs";
        static constexpr std::string_view deadReminderMinutes = "deadReminderMinutes";
        static constexpr std::string_view alarmSound = "alarmSound";
        static constexpr std::string_view onDeadCommand = "onDeadCommand";
        static constexpr std::string_view onAliveCommand = "onAliveCommand";
        static constexpr std::string_view stateMessage = "stateMessage";
    };

    struct Defaults {
        static constexpr std::string_view targetIP = "localhost";
        static constexpr std::int64_t targetPort = 8000;
        static constexpr std::int64_t receivePort = 8001;
        static constexpr std::string_view pingMessage = "/eos/ping";
        static constexpr std::string_view desiredReply = "/eos/out/ping";
        static constexpr double pingInterval = 2.0;
        static constexpr bool alwaysOnTop = false;
        static constexpr double opacity = 1.0;
        static constexpr bool alarmEnabled = true;
        static constexpr std::string_view title = "";
        static constexpr bool listenOnPingPort = true;
        static constexpr bool passive = false;
        static constexpr std::string_view transport = "udp";
        static constexpr std::int64_t missesBeforeDead = 2;
        static constexpr std::int64_t repliesBeforeAlive = 1;
        static constexpr std::int64_t slowRoundTripMs = 0;
        static constexpr std::int64_t deadReminderMinutes = 0;
        static constexpr bool alarmSound = true;
        static constexpr std::string_view onDeadCommand = "";
        static constexpr std::string_view onAliveCommand = "";
        static constexpr std::string_view stateMessage = "";
    };

    // What `transport` may hold: OSC over UDP, or over one TCP connection
    // with OSC 1.0 (size-prefixed) or SLIP framing. A file holding anything
    // else, or no transport at all (files from before TCP), means UDP.
    struct Transports {
        static constexpr std::string_view udp = "udp";
        static constexpr std::string_view tcp = "tcp";
        static constexpr std::string_view tcpSlip = "tcp-slip";
    };
    static bool isTransport(std::string_view text) {
        return text == Transports::udp || text == Transports::tcp || text == Transports::tcpSlip;
    }

    static constexpr double minPingInterval = 1.0;
    static constexpr double maxPingInterval = 30.0;
    static constexpr double minOpacity = 0.2;
    static constexpr double maxOpacity = 1.0;
    // In user-perceived characters.
    static constexpr std::size_t maxTitleLength = 20;
    // Beyond these a setting is brought back to the nearest end.
    static constexpr std::int64_t maxStateCount = 100;
    static constexpr std::int64_t maxSlowRoundTripMs = 60'000;
    static constexpr std::int64_t maxDeadReminderMinutes = 24 * 60;

    // Reads the twenty-one settings from `store`, falling back to the defaults for
    // absent or ill-typed values and clamping the two ranges. Writes nothing.
    // Throws std::invalid_argument if `store` is null.
    explicit OSCSettings(std::shared_ptr<SettingsStore> store);

    // Takes the values as they are: no clamping, no writing.
    // Throws std::invalid_argument if `store` is null.
    OSCSettings(std::string targetIP, std::int64_t targetPort, std::int64_t receivePort, std::string pingMessage,
                std::string desiredReply, double pingInterval, bool alwaysOnTop, double opacity, bool alarmEnabled,
                std::string title, std::shared_ptr<SettingsStore> store,
                bool listenOnPingPort = Defaults::listenOnPingPort, bool passive = Defaults::passive,
                std::string transport = std::string(Defaults::transport));

    OSCSettings(const OSCSettings&) = delete;
    OSCSettings& operator=(const OSCSettings&) = delete;
    OSCSettings(OSCSettings&&) = delete;
    OSCSettings& operator=(OSCSettings&&) = delete;
    ~OSCSettings() = default;

    // Declared first so that it outlives every setting that signals it.
    dispatch::ObjectWillChange objectWillChange;

    dispatch::Published<std::string> targetIP;
    dispatch::Published<std::int64_t> targetPort;
    dispatch::Published<std::int64_t> receivePort;
    dispatch::Published<std::string> pingMessage;
    dispatch::Published<std::string> desiredReply;
    dispatch::Published<double> pingInterval;
    dispatch::Published<bool> alwaysOnTop;
    dispatch::Published<double> opacity;
    dispatch::Published<bool> alarmEnabled;
    dispatch::Published<std::string> title;
    // Whether the ping's own port hears answers too, for peers that answer
    // whoever sent to them rather than a configured port.
    dispatch::Published<bool> listenOnPingPort;
    // No pings at all: each interval is judged by whether a matching message
    // came on its own, for peers that only send a heartbeat.
    dispatch::Published<bool> passive;
    // How pings and answers travel: one of Transports. Over TCP both go over
    // one connection to the target, and the receive port is not used.
    dispatch::Published<std::string> transport;

    // Silent intervals in a row that make the link DEAD (1 to 100), and
    // intervals with a reply in a row that make it ALIVE again (1 to 100).
    dispatch::Published<std::int64_t> missesBeforeDead;
    dispatch::Published<std::int64_t> repliesBeforeAlive;
    // A round trip above this many milliseconds is a slow link; 0 is off
    // (up to 60000).
    dispatch::Published<std::int64_t> slowRoundTripMs;
    // While the link stays DEAD, the alert again every so many minutes; 0 is
    // off (up to 1440).
    dispatch::Published<std::int64_t> deadReminderMinutes;
    // Whether an alert asks for a sound: the desktop's notification sound,
    // the terminal's bell.
    dispatch::Published<bool> alarmSound;
    // Run when the link goes DEAD or ALIVE, split as HookCommand.h says;
    // empty runs nothing.
    dispatch::Published<std::string> onDeadCommand;
    dispatch::Published<std::string> onAliveCommand;
    // "HOST:PORT/ADDRESS": one OSC message with the new state as its string
    // argument at each change; empty sends nothing (HookCommand.h).
    dispatch::Published<std::string> stateMessage;

    SettingsStore& defaults() const noexcept { return *defaults_; }

    // Assigns, in the order of the table above, each setting whose value in
    // the store (read as at start) differs from the one in use, without
    // writing it back: observers are told and ranges kept as for any
    // assignment, and nothing this program did not change reaches the file.
    // How a change that another program saved reaches everything that shows
    // or uses the settings. Call where assignments are made.
    void takeStoredValues();

    // From now until this object goes, asks the store every `interval` on
    // `loop` for what other programs saved and takes it in. Call on the main
    // thread, with a loop that outlives this object or is stopped before it
    // goes.
    void followStore(dispatch::MainLoop& loop, dispatch::Duration interval = std::chrono::seconds(1));

    // The store key of one of the twenty-one settings above. Any other property is a
    // programming error: the program stops with "Unexpected key path: ".
    template <class T>
    std::string_view key(const dispatch::Published<T>& setting) const {
        return keyFor(&setting, typeName<T>());
    }

private:
    struct Loaded;

    OSCSettings(Loaded loaded, std::shared_ptr<SettingsStore> store);

    static Loaded load(const std::shared_ptr<SettingsStore>& store);

    template <class T>
    static constexpr std::string_view typeName() {
        if constexpr (std::is_same_v<T, std::string>) {
            return "Published<std::string>";
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return "Published<std::int64_t>";
        } else if constexpr (std::is_same_v<T, double>) {
            return "Published<double>";
        } else if constexpr (std::is_same_v<T, bool>) {
            return "Published<bool>";
        } else {
            return "Published<?>";
        }
    }

    std::string_view keyFor(const void* setting, std::string_view type) const;

    template <class T>
    void writeBack(dispatch::Published<T>& setting);

    static void bringIntoRange(dispatch::Published<double>& setting, double fallback, double low, double high);
    static void bringIntoRange(dispatch::Published<std::int64_t>& setting, std::int64_t low, std::int64_t high);
    void assignLoaded(Loaded& loaded);
    void sanitiseTitle();

    std::shared_ptr<SettingsStore> defaults_;
    // Set while stored values are being taken in, which must not be written
    // back: they are already stored, and another program may be changing
    // them again.
    bool takingStoredValues_ = false;
    // Last, so that the timer stops before anything it uses goes.
    dispatch::Cancellable storeWatch_;
};

}  // namespace vorn::monitor
