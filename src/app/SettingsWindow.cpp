#include "app/SettingsWindow.h"

#include "app/SettingsView.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QStyle>
#include <QVBoxLayout>

#include <utility>

namespace vorn::app {

SettingsWindow::SettingsWindow(std::shared_ptr<monitor::OSCSettings> settings,
                               std::shared_ptr<monitor::OSCManager> manager, dispatch::MainLoop& mainLoop,
                               QWidget* parent)
    : QWidget(parent, Qt::Window),
      form_(new SettingsView(std::move(settings), std::move(manager), mainLoop)) {
    setWindowTitle(tr("Vorn OSC Settings"));
    setObjectName(QStringLiteral("settingsWindow"));
    // Closing the settings only hides them; it never ends the program, even
    // when no other window is showing.
    setAttribute(Qt::WA_QuitOnClose, false);

    auto* scroll = new QScrollArea;
    scroll->setWidget(form_);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);

    setMinimumSize(minimumWidth, minimumHeight);
    resize(initialWidth, initialHeight);
    centre();
}

SettingsWindow::~SettingsWindow() = default;

void SettingsWindow::centre() {
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (screen == nullptr) {
        return;
    }
    setGeometry(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()));
}

}  // namespace vorn::app
