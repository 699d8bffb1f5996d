#pragma once

#include "monitor/OSCManager.h"

#include <memory>

class QMenu;
class QWidget;

namespace vorn::app {

// The entries the main window's context menu and the tray panel share:
// "Link Report…", "Export Report…" and the mute entries.
namespace AlarmMenu {

inline constexpr const char* muteQuarterHour = "Mute alarms for 15 min";
inline constexpr const char* muteHour = "Mute alarms for 1 h";
inline constexpr const char* muteUntilAlive = "Mute alarms until ALIVE";
inline constexpr const char* unmute = "Unmute alarms";

// Adds the three ways to mute and, while muted, the way back. The state is
// still shown and logged while muted; only the alert is held back.
void addMuteEntries(QMenu& menu, const std::shared_ptr<monitor::OSCManager>& manager);

// Adds "Link Report…" and "Export Report…", then the mute entries.
void addEntries(QMenu& menu, QWidget* dialogParent, const std::shared_ptr<monitor::OSCManager>& manager);

// Opens the export dialog for the report as it is now.
void exportReport(QWidget* parent, const std::shared_ptr<monitor::OSCManager>& manager);

}  // namespace AlarmMenu

}  // namespace vorn::app
