#pragma once

#include "dispatch/MainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <memory>

class QWidget;

namespace vorn::app {

// The one settings window of the process. Created on the first request and
// kept for the rest of the process; closing it only hides it.
class SettingsWindowManager {
public:
    // Creates the window on first use, then shows it, raises it and gives it
    // the focus. Main thread. Returns the window.
    static QWidget* open(const std::shared_ptr<monitor::OSCSettings>& settings,
                         const std::shared_ptr<monitor::OSCManager>& manager, dispatch::MainLoop& mainLoop);

    // The window if it has been created, null before.
    static QWidget* window();

    // Destroys the window; for tests and for the end of the process.
    static void reset();
};

}  // namespace vorn::app
