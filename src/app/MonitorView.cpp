#include "app/MonitorView.h"

#include "app/AlarmMenu.h"
#include "app/LogExport.h"
#include "app/LogLineDelegate.h"
#include "app/LogModel.h"
#include "app/LogView.h"
#include "app/Look.h"
#include "app/Palette.h"
#include "app/QualityStrip.h"
#include "app/SettingsWindowManager.h"
#include "app/VornApp.h"
#include "app/WaveformView.h"

#include <QDesktopServices>
#include <QHBoxLayout>
#include <QContextMenuEvent>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QScrollBar>
#include <QSvgRenderer>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace vorn::app {

namespace {

constexpr int symbolSize = 22;
constexpr int chevronSize = 18;
constexpr double logRadius = 8;
constexpr QSize logoFrame(200, 32);

// Our symbols in black on the status light, as on a traffic sign.
QIcon symbolIcon(const QString& name, int size, double opacity = 1.0) {
    return look::symbolIcon(name, size, Qt::black, opacity);
}

QToolButton* barButton(QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setAutoRaise(true);
    button->setFocusPolicy(Qt::TabFocus);
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

}  // namespace

MonitorView::MonitorView(std::shared_ptr<monitor::OSCSettings> settings,
                         std::shared_ptr<monitor::OSCManager> manager, dispatch::MainLoop& mainLoop, QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)), manager_(std::move(manager)), mainLoop_(mainLoop),
      logoUrl_(QString::fromUtf8(VornApp::logoUrl)) {
    setMinimumSize(300, 130);

    // The dark scheme throughout: tool tips, scroll bars and focus frames
    // sit on the status colour, not on a light theme's grey.
    // The log's plate shows through its view.
    QPalette dark = look::darkPalette();
    dark.setColor(QPalette::Base, Qt::transparent);
    setPalette(dark);

    auto* column = new QVBoxLayout(this);
    column_ = column;
    column->setContentsMargins(0, 12, 0, 0);
    column->setSpacing(12);

    // The band is 50 high, centred in its 60-high slot.
    auto* slot = new QWidget(this);
    slot->setFixedHeight(waveformSlotHeight);
    auto* slotLayout = new QVBoxLayout(slot);
    slotLayout->setContentsMargins(0, 0, 0, 0);
    waveform_ = new WaveformView(settings_, manager_, slot);
    waveform_->setFixedHeight(WaveformView::bandHeight);
    slotLayout->addWidget(waveform_, 0, Qt::AlignVCenter);
    column->addWidget(slot);

    quality_ = new QualityStrip(manager_, this);
    column->addWidget(quality_);

    chevron_ = barButton(this);
    chevron_->setToolTip(QStringLiteral("Toggle window height"));
    chevron_->setIconSize(QSize(chevronSize, chevronSize));
    connect(chevron_, &QToolButton::clicked, this, [this] {
        QTimer::singleShot(0, this, &MonitorView::toggleHeight);
    });
    column->addWidget(chevron_, 0, Qt::AlignHCenter);

    logView_ = new LogView(this);
    logModel_ = new LogModel(manager_->log, this, [manager = manager_.get()] {
        return manager->senderOfLineBeingAppended();
    });
    logView_->setModel(logModel_);
    logView_->setItemDelegate(new LogLineDelegate(logView_));
    logView_->setMenuExtension([this](QMenu& menu) { AlarmMenu::addEntries(menu, this, manager_); });
    logView_->setObjectName(QStringLiteral("log"));
    // Focus on a click only, so that Ctrl+C copies the rows just selected.
    logView_->setFocusPolicy(Qt::ClickFocus);
    logView_->setFrameShape(QFrame::NoFrame);
    logView_->setAutoFillBackground(false);
    logView_->viewport()->setAutoFillBackground(false);
    logView_->setMaximumHeight(logMaximumHeight);
    logView_->setMinimumHeight(0);
    logView_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    column->addWidget(logView_, 1);

    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(12, 0, 12, 8);
    save_ = barButton(this);
    save_->setIcon(symbolIcon(QStringLiteral("tray-and-arrow-down"), symbolSize));
    save_->setIconSize(QSize(symbolSize, symbolSize));
    save_->setToolTip(QStringLiteral("Save the OSC log to a file"));
    connect(save_, &QToolButton::clicked, this, &MonitorView::exportLog);

    logo_ = barButton(this);
    const QIcon logoIcon(QStringLiteral(":/logo.svg"));
    const QSize logoNatural = QSvgRenderer(QStringLiteral(":/logo.svg")).defaultSize();
    logo_->setIcon(logoIcon);
    logo_->setIconSize(logoNatural.isValid() ? logoNatural.scaled(logoFrame, Qt::KeepAspectRatio) : logoFrame);
    logo_->setToolTip(QStringLiteral("Vorn OSC 2 on the web"));
    connect(logo_, &QToolButton::clicked, this, [this] { openLogoLink(); });

    settingsButton_ = barButton(this);
    settingsButton_->setIcon(symbolIcon(QStringLiteral("gearshape"), symbolSize));
    settingsButton_->setIconSize(QSize(symbolSize, symbolSize));
    settingsButton_->setToolTip(QStringLiteral("Open application settings"));
    connect(settingsButton_, &QToolButton::clicked, this, &MonitorView::openSettings);

    bar->addWidget(save_);
    bar->addStretch(1);
    bar->addWidget(logo_);
    bar->addStretch(1);
    bar->addWidget(settingsButton_);
    column->addLayout(bar);

    aliveSubscription_ = manager_->isAlive.subscribe([this](const bool&) { update(); });
    refreshChevron();
    fitLog();
}

MonitorView::~MonitorView() {
    aliveSubscription_.cancel();
}

QString MonitorView::chevronSymbolFor(std::optional<int> windowHeight) {
    if (!windowHeight) {
        return QString::fromLatin1(collapsedSymbol);
    }
    return minHeight * 1.2 < *windowHeight ? QString::fromLatin1(expandedSymbol) : QString::fromLatin1(collapsedSymbol);
}

void MonitorView::refreshChevron() {
    const int height = window()->height();
    isExpanded_ = minHeight * 1.2 < height;
    const QString symbol = chevronSymbolFor(height);
    if (symbol != chevronSymbol_) {
        chevronSymbol_ = symbol;
        chevron_->setIcon(symbolIcon(symbol, chevronSize, 0.6));
    }
}

int MonitorView::heightWithoutLog() const {
    const QMargins margins = column_->contentsMargins();
    int height = margins.top() + margins.bottom();
    int items = 0;
    for (int i = 0; i < column_->count(); ++i) {
        QLayoutItem* item = column_->itemAt(i);
        if (item->widget() == logView_ || item->widget() == quality_ || item->isEmpty()) {
            continue;
        }
        height += item->sizeHint().height();
        ++items;
    }
    return height + column_->spacing() * std::max(0, items - 1);
}

void MonitorView::fitLog() {
    // A log squeezed below a couple of rows shows nothing readable and
    // pushes the controls into each other: below that it goes, and the
    // strip keeps the light, the waveform, the chevron and the bar whole.
    // The figures come first, the log takes what is left.
    int room = height() - heightWithoutLog() - column_->spacing();
    const bool figuresShown = room >= QualityStrip::stripHeight;
    if (figuresShown) {
        room -= QualityStrip::stripHeight + column_->spacing();
    }
    if (quality_->isHidden() == figuresShown) {
        quality_->setVisible(figuresShown);
    }
    const int twoRows = 2 * LogView::verticalPadding + 2 * (logView_->rowHeight() + LogView::rowSpacing);
    const bool shown = room >= twoRows;
    if (logView_->isHidden() == shown) {
        logView_->setVisible(shown);
        update();
    }
}

void MonitorView::toggleHeight() {
    QWidget* host = window();
    if (host == nullptr) {
        return;
    }
    const QRect frame = host->geometry();
    isExpanded_ = minHeight * 1.2 < frame.height();
    const int target = isExpanded_ ? minHeight : maxHeight;
    isExpanded_ = !isExpanded_;
    // Qt's origin is the top-left corner, so keeping y keeps the top edge.
    const QRect next(frame.x(), frame.y(), frame.width(), target);
    if (toggleAnimation_ != nullptr) {
        toggleAnimation_->stop();
    }
    auto* animation = new QPropertyAnimation(host, "geometry", this);
    animation->setDuration(toggleMilliseconds);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(frame);
    animation->setEndValue(next);
    toggleAnimation_ = animation;
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

bool MonitorView::openLogoLink() {
    const QUrl url(logoUrl_, QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) {
        return false;
    }
    return QDesktopServices::openUrl(url);
}

void MonitorView::exportLog() {
    QPointer<MonitorView> self(this);
    LogExport::begin(this, manager_->log.snapshot(), QStringLiteral("VornOSC2 Log"),
                     [self](const LogExport::Outcome& outcome) {
                         if (outcome.error && self != nullptr) {
                             LogExport::showError(self, *outcome.error);
                         }
                     });
}

void MonitorView::openSettings() {
    SettingsWindowManager::open(settings_, manager_, mainLoop_);
}

void MonitorView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), manager_->isAlive.get() ? palette::green() : palette::red());
    if (!logView_->isHidden() && logView_->height() > 0) {
        painter.setRenderHint(QPainter::Antialiasing);
        QPainterPath plate;
        plate.addRoundedRect(QRectF(logView_->geometry()), logRadius, logRadius);
        painter.fillPath(plate, QColor(0, 0, 0, 128));
    }
}

void MonitorView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    AlarmMenu::addEntries(menu, this, manager_);
    menu.exec(event->globalPos());
}

void MonitorView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // The view fills its window, so this follows the user dragging the
    // window's edge across the threshold as well.
    refreshChevron();
    fitLog();
}

}  // namespace vorn::app
