#include "app/SettingsWindow.h"

#include "app/SettingsView.h"

#include <QGuiApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
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
    const QScreen* screen = QGuiApplication::primaryScreen();
    resize(openingSize(form_->sizeHint().expandedTo(form_->minimumSize()),
                       screen != nullptr ? screen->availableGeometry().size() : QSize(),
                       scroll->verticalScrollBar()->sizeHint().width()));
    centre();
}

QSize SettingsWindow::openingSize(QSize form, QSize screen, int scrollBarWidth) {
    if (!screen.isValid()) {
        return form;
    }
    QSize size = form;
    if (size.height() > screen.height()) {
        // The form scrolls; its width stays whole beside the scroll bar.
        size.setHeight(screen.height());
        size.setWidth(size.width() + scrollBarWidth);
    }
    return size.boundedTo(screen);
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
