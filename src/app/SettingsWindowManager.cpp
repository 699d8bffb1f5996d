#include "app/SettingsWindowManager.h"

#include "app/SettingsWindow.h"

#include <QCoreApplication>
#include <QPointer>

namespace vorn::app {
namespace {

// The one window of the process. A guarded pointer: whoever deletes the
// window (reset(), the end of the event loop) leaves it null, never dangling.
QPointer<SettingsWindow>& theWindow() {
    static QPointer<SettingsWindow> window;
    return window;
}

}  // namespace

QWidget* SettingsWindowManager::open(const std::shared_ptr<monitor::OSCSettings>& settings,
                                     const std::shared_ptr<monitor::OSCManager>& manager,
                                     dispatch::MainLoop& mainLoop) {
    QPointer<SettingsWindow>& window = theWindow();
    if (window.isNull()) {
        window = new SettingsWindow(settings, manager, mainLoop);
        // The form posts to the main loop and holds a timer on it: the window
        // goes when the event loop ends, before its owner takes the loop
        // down, instead of outliving the application object.
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, window,
                         &SettingsWindowManager::reset);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

QWidget* SettingsWindowManager::window() {
    return theWindow().data();
}

void SettingsWindowManager::reset() {
    delete theWindow().data();
}

}  // namespace vorn::app
