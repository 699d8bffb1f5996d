#include "app/LinkReportWindow.h"

#include "app/AlarmMenu.h"
#include "app/LinkFigures.h"
#include "app/Look.h"
#include "app/RttChart.h"

#include <QCoreApplication>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>


namespace vorn::app {

namespace {

QPointer<LinkReportWindow>& theWindow() {
    static QPointer<LinkReportWindow> window;
    return window;
}

QString wallClock(const monitor::LinkStatistics& statistics, monitor::MonitorTime at) {
    return figures::wallClock(statistics, at, QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

}  // namespace

LinkReportWindow::LinkReportWindow(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent)
    : QWidget(parent, Qt::Window), manager_(std::move(manager)), clock_(new QTimer(this)) {
    setObjectName(QStringLiteral("linkReport"));
    setWindowTitle(QString::fromLatin1(windowTitle));
    setPalette(look::darkPalette());
    setAutoFillBackground(true);

    auto* column = new QVBoxLayout(this);
    chart_ = new RttChart(manager_, this);
    column->addWidget(chart_, 1);

    auto* groups = new QHBoxLayout;
    auto* rolling = new QGroupBox(tr("Last 60 pings"), this);
    auto* rollingGrid = new QGridLayout(rolling);
    addFigure(rollingGrid, 0, 0, QStringLiteral("last"), tr("Last"));
    addFigure(rollingGrid, 1, 0, QStringLiteral("minimum"), tr("Min"));
    addFigure(rollingGrid, 2, 0, QStringLiteral("average"), tr("Average"));
    addFigure(rollingGrid, 3, 0, QStringLiteral("maximum"), tr("Max"));
    addFigure(rollingGrid, 0, 1, QStringLiteral("jitter"), tr("Jitter"));
    addFigure(rollingGrid, 1, 1, QStringLiteral("p95"), tr("95th percentile"));
    addFigure(rollingGrid, 2, 1, QStringLiteral("loss"), tr("Loss"));
    auto* session = new QGroupBox(tr("Session"), this);
    auto* sessionGrid = new QGridLayout(session);
    addFigure(sessionGrid, 0, 0, QStringLiteral("availability"), tr("Up"));
    addFigure(sessionGrid, 1, 0, QStringLiteral("watched"), tr("Watched"));
    addFigure(sessionGrid, 2, 0, QStringLiteral("state"), tr("Now"));
    addFigure(sessionGrid, 3, 0, QStringLiteral("flaps"), tr("State changes"));
    addFigure(sessionGrid, 0, 1, QStringLiteral("outages"), tr("Outages"));
    addFigure(sessionGrid, 1, 1, QStringLiteral("longest"), tr("Longest"));
    addFigure(sessionGrid, 2, 1, QStringLiteral("pings"), tr("Pings answered"));
    groups->addWidget(rolling);
    groups->addWidget(session);
    column->addLayout(groups);

    outages_ = new QTreeWidget(this);
    outages_->setObjectName(QStringLiteral("outages"));
    outages_->setRootIsDecorated(false);
    outages_->setHeaderLabels({tr("Outage began"), tr("Ended"), tr("Lasted")});
    outages_->header()->setSectionResizeMode(QHeaderView::Stretch);
    outages_->setMaximumHeight(120);
    column->addWidget(outages_);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    export_ = new QPushButton(tr("Export report…"), this);
    export_->setToolTip(tr("Save every ping and every outage as CSV files"));
    connect(export_, &QPushButton::clicked, this, &LinkReportWindow::exportReport);
    buttons->addWidget(export_);
    column->addLayout(buttons);

    subscription_ = manager_->statistics.subscribe([this](const monitor::LinkStatistics&) { scheduleRefresh(); });
    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, &LinkReportWindow::refresh);
    clock_->start();
    resize(640, 560);
    refresh();
}

LinkReportWindow::~LinkReportWindow() {
    subscription_.cancel();
}

LinkReportWindow* LinkReportWindow::open(const std::shared_ptr<monitor::OSCManager>& manager) {
    QPointer<LinkReportWindow>& window = theWindow();
    if (window == nullptr) {
        window = new LinkReportWindow(manager);
        window->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, window,
                         &LinkReportWindow::reset);
    }
    window->show();
    window->raise();
    window->activateWindow();
    return window;
}

LinkReportWindow* LinkReportWindow::current() {
    return theWindow();
}

void LinkReportWindow::reset() {
    delete theWindow().data();
}

QLabel* LinkReportWindow::addFigure(QGridLayout* grid, int row, int column, const QString& name,
                                    const QString& caption) {
    auto* label = new QLabel(caption, this);
    QPalette faint = label->palette();
    faint.setColor(QPalette::WindowText, QColor(255, 255, 255, 170));
    label->setPalette(faint);
    auto* value = new QLabel(this);
    value->setObjectName(name);
    value->setTextFormat(Qt::PlainText);
    QFont bold = value->font();
    bold.setWeight(QFont::DemiBold);
    value->setFont(bold);
    grid->addWidget(label, row, 2 * column);
    grid->addWidget(value, row, 2 * column + 1);
    figures_[name] = value;
    return value;
}

QString LinkReportWindow::figure(const QString& name) const {
    const auto found = figures_.find(name);
    return found == figures_.end() ? QString() : found->second->text();
}

void LinkReportWindow::scheduleRefresh() {
    if (!refreshQueued_) {
        refreshQueued_ = true;
        QTimer::singleShot(0, this, [this] {
            refreshQueued_ = false;
            refresh();
        });
    }
}

void LinkReportWindow::refresh() {
    const monitor::LinkStatistics statistics = manager_->currentStatistics();
    const auto& rolling = statistics.rolling;
    const auto& session = statistics.session;
    const auto set = [this](const char* name, const QString& text) { figures_.at(QString::fromLatin1(name))->setText(text); };
    set("last", figures::milliseconds(rolling.lastMs));
    set("minimum", figures::milliseconds(rolling.minMs));
    set("average", figures::milliseconds(rolling.averageMs));
    set("maximum", figures::milliseconds(rolling.maxMs));
    set("jitter", figures::milliseconds(rolling.jitterMs));
    set("p95", figures::milliseconds(rolling.p95Ms));
    set("loss", figures::percent(rolling.lossPercent));
    set("availability", figures::percent(session.availabilityPercent));
    set("watched", figures::duration(session.watched));
    set("state", figures::stateTime(statistics));
    set("flaps", QString::number(session.flaps));
    set("outages", QString::number(session.outageCount));
    set("longest", session.longestOutage ? figures::duration(*session.longestOutage) : QStringLiteral("–"));
    set("pings", QStringLiteral("%1 of %2").arg(session.pingsAnswered).arg(session.pingsSent));

    // Newest first: the one that matters during a show is at the top.
    outages_->setUpdatesEnabled(false);
    outages_->clear();
    for (auto outage = session.outages.rbegin(); outage != session.outages.rend(); ++outage) {
        outages_->addTopLevelItem(new QTreeWidgetItem(
            {wallClock(statistics, outage->start),
             outage->end ? wallClock(statistics, *outage->end) : tr("lasting"), figures::duration(outage->duration)}));
    }
    if (session.outagesDropped > 0) {
        outages_->addTopLevelItem(
            new QTreeWidgetItem({tr("%1 older outages not listed").arg(session.outagesDropped)}));
    }
    outages_->setUpdatesEnabled(true);
    chart_->update();
}

void LinkReportWindow::exportReport() {
    AlarmMenu::exportReport(this, manager_);
}

}  // namespace vorn::app
