#include "app/TrayStatus.h"

#include "app/AlarmMenu.h"
#include "app/HeartIcon.h"
#include "app/LinkReportWindow.h"
#include "app/Look.h"
#include "app/SettingsWindowManager.h"

#include <QApplication>
#include <QCursor>
#include <QFrame>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QScreen>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <utility>

namespace vorn::app {
namespace {

constexpr int panelPadding = 12;
constexpr int panelSpacing = 4;
constexpr int panelMinimumWidth = 180;
constexpr int itemIconSize = 16;

void sayNoTrayOnce() {
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
        std::fprintf(stderr, "%s\n", TrayStatus::noTrayMessage);
        std::fflush(stderr);
    }
}

QToolButton* panelItem(const QString& iconName, const QString& text) {
    auto* item = new QToolButton;
    item->setIcon(look::symbolIcon(iconName, itemIconSize, look::symbolColour()));
    item->setIconSize(QSize(itemIconSize, itemIconSize));
    item->setText(text);
    item->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    item->setAutoRaise(true);
    item->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    return item;
}

}  // namespace

TrayStatus::TrayStatus(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                       dispatch::MainLoop& mainLoop, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      manager_(std::move(manager)),
      mainLoop_(mainLoop),
      available_(QSystemTrayIcon::isSystemTrayAvailable()),
      icon_(new QSystemTrayIcon(this)) {
    icon_->setToolTip(QString::fromUtf8(title));
    // The monitor changes its state on the main thread, and the value handed
    // over is the one about to be stored.
    aliveSubscription_ = manager_->isAlive.subscribe([this](const bool& alive) { icon_->setIcon(heartIcon(alive)); });
    connect(icon_, &QSystemTrayIcon::activated, this, &TrayStatus::activated);
    if (!available_) {
        sayNoTrayOnce();
    }
    // Shown even without a tray on a real display: the icon installs itself
    // when a tray turns up. Off screen no tray ever does.
    const QString platform = QGuiApplication::platformName();
    if (available_ || (platform != QLatin1String("offscreen") && platform != QLatin1String("minimal"))) {
        icon_->show();
    }
}

TrayStatus::~TrayStatus() {
    aliveSubscription_.cancel();
    delete panel_;
}

QWidget* TrayStatus::panel() {
    if (panel_ == nullptr) {
        panel_ = buildPanel();
    }
    return panel_;
}

void TrayStatus::activated(QSystemTrayIcon::ActivationReason reason) {
    switch (reason) {
    case QSystemTrayIcon::Trigger:
    case QSystemTrayIcon::Context:
    case QSystemTrayIcon::DoubleClick:
        showPanel();
        break;
    default:
        break;
    }
}

void TrayStatus::showPanel() {
    QWidget* shown = panel();
    shown->adjustSize();
    const QRect iconGeometry = icon_->geometry();
    const QPoint cursor = QCursor::pos();
    const QPoint anchor = iconGeometry.isValid() ? iconGeometry.center() : cursor;
    const QScreen* screen = QGuiApplication::screenAt(anchor);
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    const QRect area = screen != nullptr ? screen->availableGeometry() : QRect(anchor, shown->size());
    shown->move(panelPosition(iconGeometry, cursor, shown->size(), area));
    shown->show();
    shown->raise();
}

QPoint TrayStatus::panelPosition(const QRect& iconGeometry, const QPoint& cursor, const QSize& panelSize,
                                 const QRect& screen) {
    QPoint position;
    if (iconGeometry.isValid()) {
        position = QPoint(iconGeometry.left(), iconGeometry.bottom() + 1);
        if (position.y() + panelSize.height() > screen.bottom() + 1) {
            // A tray at the bottom of the screen: the panel opens upwards.
            position.setY(iconGeometry.top() - panelSize.height());
        }
    } else {
        position = cursor;
        if (position.y() + panelSize.height() > screen.bottom() + 1) {
            position.setY(cursor.y() - panelSize.height());
        }
    }
    position.setX(std::clamp(position.x(), screen.left(), std::max(screen.left(), screen.right() + 1 - panelSize.width())));
    position.setY(std::clamp(position.y(), screen.top(), std::max(screen.top(), screen.bottom() + 1 - panelSize.height())));
    return position;
}

QFrame* TrayStatus::buildPanel() {
    // A popup: frameless, it closes when the user clicks elsewhere, and it
    // stays open while one of its own items is chosen.
    auto* frame = new QFrame(nullptr, Qt::Popup);
    frame->setObjectName(QStringLiteral("trayPanel"));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setMinimumWidth(panelMinimumWidth);
    auto* column = new QVBoxLayout(frame);
    column->setContentsMargins(panelPadding, panelPadding, panelPadding, panelPadding);
    column->setSpacing(panelSpacing);

    QToolButton* settingsItem = panelItem(QStringLiteral("gearshape"), tr("Settings"));
    settingsItem->setObjectName(QStringLiteral("settingsItem"));
    settingsItem->setToolTip(tr("Open application settings"));
    connect(settingsItem, &QToolButton::clicked, this,
            [this] { SettingsWindowManager::open(settings_, manager_, mainLoop_); });

    QToolButton* reportItem = panelItem(QStringLiteral("chart-bar"), tr("Link Report"));
    reportItem->setObjectName(QStringLiteral("reportItem"));
    reportItem->setToolTip(tr("Round trips, availability and outages of this session"));
    connect(reportItem, &QToolButton::clicked, this, [this] {
        panel_->hide();
        LinkReportWindow::open(manager_);
    });

    // The mute entries are made as the menu opens, so "Unmute alarms" shows
    // only while muted.
    QToolButton* muteItem = panelItem(QStringLiteral("bell-slash"), tr("Mute Alarms"));
    muteItem->setObjectName(QStringLiteral("muteItem"));
    auto* muteMenu = new QMenu(muteItem);
    connect(muteMenu, &QMenu::aboutToShow, this, [this, muteMenu] {
        muteMenu->clear();
        AlarmMenu::addMuteEntries(*muteMenu, manager_);
    });
    muteItem->setMenu(muteMenu);
    muteItem->setPopupMode(QToolButton::InstantPopup);

    auto* divider = new QFrame;
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);

    QToolButton* quitItem = panelItem(QStringLiteral("power"), tr("Quit Vorn OSC 2"));
    quitItem->setObjectName(QStringLiteral("quitItem"));
    connect(quitItem, &QToolButton::clicked, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    column->addWidget(settingsItem);
    column->addWidget(reportItem);
    column->addWidget(muteItem);
    column->addWidget(divider);
    column->addWidget(quitItem);
    return frame;
}

}  // namespace vorn::app
