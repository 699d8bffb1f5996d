#pragma once

#include "monitor/OSCSettings.h"

#include <cstdint>
#include <span>
#include <string_view>

namespace vorn::monitor {

// How a common kind of device is watched: what to ping it with, what its
// answer contains, where it listens and where its answers come. A preset only
// fills the settings; each of them stays editable afterwards.
struct DevicePreset {
    // What the command line takes (--preset NAME).
    std::string_view name;
    // What the settings window lists, as the device's users would call it.
    std::string_view title;
    std::string_view pingMessage;
    std::string_view desiredReply;
    std::int64_t targetPort;
    std::int64_t receivePort;
    // The device answers to the port the ping came from.
    bool listenOnPingPort;
    // The device answers nothing and sends a heartbeat on its own.
    bool passive;
    // One of OSCSettings::Transports.
    std::string_view transport = OSCSettings::Transports::udp;
};

// Every preset, in the order the settings window lists them.
std::span<const DevicePreset> devicePresets();

// The preset called `name` (its command-line name), or null.
const DevicePreset* findDevicePreset(std::string_view name);

// The preset whose fields all equal the settings in force, or null: what the
// settings window shows as chosen.
const DevicePreset* matchingDevicePreset(const OSCSettings& settings);

// Assigns the preset's fields, each as an edit would.
void applyDevicePreset(const DevicePreset& preset, OSCSettings& settings);

}  // namespace vorn::monitor
