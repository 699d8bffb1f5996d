#pragma once

#include "dispatch/MainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QSize>
#include <QWidget>

#include <memory>

class QScrollArea;

namespace vorn::app {

class SettingsView;

// The program's own settings window: the settings form in a scrolling
// window, so that the form keeps its full size in a window the user may make
// smaller. It opens at the form's size, or the screen's when that is smaller. Closing it only hides it; SettingsWindowManager keeps the one
// instance of the process.
class SettingsWindow final : public QWidget {
    Q_OBJECT

public:
    static constexpr int minimumWidth = 300;
    static constexpr int minimumHeight = 400;

    // `mainLoop` must outlive the window. Centred on the screen it starts on;
    // after that it stays wherever the user leaves it.
    SettingsWindow(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                   dispatch::MainLoop& mainLoop, QWidget* parent = nullptr);
    ~SettingsWindow() override;

    SettingsView* form() const noexcept { return form_; }

    // The size the window opens at: the whole `form`, or as much as
    // `screen` (when known) holds, with room for the scroll bar then.
    static QSize openingSize(QSize form, QSize screen, int scrollBarWidth);

private:
    void centre();

    SettingsView* form_;
};

}  // namespace vorn::app
