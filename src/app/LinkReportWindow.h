#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/OSCManager.h"

#include <QWidget>

#include <map>
#include <memory>

class QGridLayout;
class QLabel;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace vorn::app {

class RttChart;

// The link report: the session's round trips as a chart, the figures over
// the last 60 pings and over the session, the list of outages, and
// "Export report…", which writes the pings and the outages as CSV files.
//
// The figures follow the monitor: its updates are gathered into one
// refresh per turn of the event loop, and a once-a-second timer moves the
// times that grow on their own.
class LinkReportWindow final : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* windowTitle = "Link Report";

    explicit LinkReportWindow(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent = nullptr);
    ~LinkReportWindow() override;

    // The one report window: made the first time, brought to the front
    // after that. Closing it deletes it.
    static LinkReportWindow* open(const std::shared_ptr<monitor::OSCManager>& manager);
    static LinkReportWindow* current();
    // Deletes the report window, if there is one. It holds the monitor, so
    // it goes when the event loop ends, before its owner lets the monitor go.
    static void reset();

    // The text a figure shows, by its name in the window (for example
    // "average", "availability"); empty for an unknown name.
    QString figure(const QString& name) const;
    QTreeWidget* outageList() const noexcept { return outages_; }
    RttChart* chart() const noexcept { return chart_; }
    QPushButton* exportButton() const noexcept { return export_; }

    // Reads the monitor's figures now.
    void refresh();

private:
    void scheduleRefresh();
    void exportReport();
    QLabel* addFigure(QGridLayout* grid, int row, int column, const QString& name, const QString& caption);

    std::shared_ptr<monitor::OSCManager> manager_;
    RttChart* chart_ = nullptr;
    QTreeWidget* outages_ = nullptr;
    QPushButton* export_ = nullptr;
    QTimer* clock_ = nullptr;
    std::map<QString, QLabel*> figures_;
    bool refreshQueued_ = false;
    dispatch::Cancellable subscription_;
};

}  // namespace vorn::app
