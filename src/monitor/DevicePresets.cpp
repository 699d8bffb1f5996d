#include "monitor/DevicePresets.h"

#include <algorithm>
#include <array>
#include <string>

namespace vorn::monitor {

namespace {

using Transports = OSCSettings::Transports;

// Answers that come to a configured port use the usual pair 8000/8001. Devices
// that answer the ping's own port keep 8001 as the receive port: nothing of
// theirs arrives there, and a well-known port of their own could be taken by
// software running beside the monitor. Over TCP the receive port is not used;
// the presets keep the one of their UDP variant, for a switch back.
//
// Lighting consoles listen for OSC over TCP on 3032 with OSC 1.0 framing. The
// port of their SLIP listener differs between consoles and is set on the
// console; 3037 is our default for it, to be checked there.
constexpr std::array presets = {
    DevicePreset{"lighting-console", "Lighting console (OSC over UDP)", "/eos/ping", "/eos/out/ping", 8000, 8001,
                 false, false},
    DevicePreset{"lighting-console-tcp", "Lighting console (OSC over TCP)", "/eos/ping", "/eos/out/ping", 3032, 8001,
                 false, false, Transports::tcp},
    DevicePreset{"lighting-console-slip", "Lighting console (OSC over TCP, SLIP)", "/eos/ping", "/eos/out/ping", 3037,
                 8001, false, false, Transports::tcpSlip},
    DevicePreset{"digital-mixer", "Digital mixer", "/xinfo", "/xinfo", 10023, 8001,
                 true, false},
    DevicePreset{"compact-mixer", "Compact digital mixer", "/xinfo", "/xinfo", 10024,
                 8001, true, false},
    DevicePreset{"audio-server", "Audio-synthesis server", "/status",
                 "/status.reply", 57110, 8001, true, false},
    DevicePreset{"show-playback", "Show-playback software", "/version", "/reply/version",
                 53000, 53001, false, false},
    DevicePreset{"show-playback-tcp", "Show-playback software (OSC over TCP)", "/version", "/reply/version", 53000,
                 53001, false, false, Transports::tcpSlip},
    DevicePreset{"heartbeat", "Generic heartbeat (no pings)", "/ping", "heartbeat", 8000, 8001, false,
                 true},
};

}  // namespace

std::span<const DevicePreset> devicePresets() {
    return presets;
}

const DevicePreset* findDevicePreset(std::string_view name) {
    const auto found = std::find_if(presets.begin(), presets.end(), [&](const auto& p) { return p.name == name; });
    return found == presets.end() ? nullptr : &*found;
}

const DevicePreset* matchingDevicePreset(const OSCSettings& settings) {
    const auto found = std::find_if(presets.begin(), presets.end(), [&](const DevicePreset& p) {
        return settings.pingMessage.get() == p.pingMessage && settings.desiredReply.get() == p.desiredReply &&
               settings.targetPort.get() == p.targetPort && settings.receivePort.get() == p.receivePort &&
               settings.listenOnPingPort.get() == p.listenOnPingPort && settings.passive.get() == p.passive &&
               settings.transport.get() == p.transport;
    });
    return found == presets.end() ? nullptr : &*found;
}

void applyDevicePreset(const DevicePreset& preset, OSCSettings& settings) {
    // In the order of the settings table, as the command line assigns.
    settings.targetPort = preset.targetPort;
    settings.receivePort = preset.receivePort;
    settings.pingMessage = std::string(preset.pingMessage);
    settings.desiredReply = std::string(preset.desiredReply);
    settings.listenOnPingPort = preset.listenOnPingPort;
    settings.passive = preset.passive;
    settings.transport = std::string(preset.transport);
}

}  // namespace vorn::monitor
