#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QPointer>
#include <QString>
#include <QWidget>

#include <memory>
#include <optional>

class QPropertyAnimation;
class QToolButton;
class QVBoxLayout;

namespace vorn::app {

class LogModel;
class LogView;
class QualityStrip;
class WaveformView;

// The main window's content: the whole background is the status light
// (green ALIVE, red DEAD), with the waveform, the link's figures, the
// collapse/expand chevron, the scrolling log and the bottom bar (save, logo,
// settings) on top. In a window too low for the log (the collapsed strip)
// the log is hidden, and the figures too when there is no room for them.
// The context menu opens the link report, exports it, and mutes alarms.
class MonitorView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int minHeight = 160;
    static constexpr int maxHeight = 400;
    static constexpr int waveformSlotHeight = 60;
    static constexpr int logMaximumHeight = 250;
    static constexpr int toggleMilliseconds = 300;
    static constexpr const char* expandedSymbol = "chevron-compact-up";
    static constexpr const char* collapsedSymbol = "chevron-compact-down";

    MonitorView(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                dispatch::MainLoop& mainLoop, QWidget* parent = nullptr);
    ~MonitorView() override;

    // The chevron for a window of `windowHeight` (none: no window yet):
    // up, to collapse, while the window is taller than 1.2 × minHeight.
    static QString chevronSymbolFor(std::optional<int> windowHeight);

    // The symbol the chevron shows now.
    QString chevronSymbol() const { return chevronSymbol_; }
    bool isExpanded() const noexcept { return isExpanded_; }

    // Collapses a tall window to minHeight or expands a short one to
    // maxHeight, animated, keeping its top edge in place. The button queues
    // this for the next turn.
    void toggleHeight();

    // Opens the logo's web address in the browser when it parses as a URL.
    // Returns whether it asked the desktop to open it.
    bool openLogoLink();
    void setLogoUrl(QString url) { logoUrl_ = std::move(url); }

    LogView* logView() const noexcept { return logView_; }
    LogModel* logModel() const noexcept { return logModel_; }
    WaveformView* waveformView() const noexcept { return waveform_; }
    QualityStrip* qualityStrip() const noexcept { return quality_; }
    QToolButton* chevronButton() const noexcept { return chevron_; }
    QToolButton* saveButton() const noexcept { return save_; }
    QToolButton* logoButton() const noexcept { return logo_; }
    QToolButton* settingsButton() const noexcept { return settingsButton_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void refreshChevron();
    // Shows the log when the window has room for it, hides it otherwise.
    void fitLog();
    // What the column needs for everything but the log.
    int heightWithoutLog() const;
    void exportLog();
    void openSettings();

    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<monitor::OSCManager> manager_;
    dispatch::MainLoop& mainLoop_;
    QString logoUrl_;
    bool isExpanded_ = true;
    QString chevronSymbol_;
    QPointer<QPropertyAnimation> toggleAnimation_;

    QVBoxLayout* column_ = nullptr;
    WaveformView* waveform_ = nullptr;
    QualityStrip* quality_ = nullptr;
    QToolButton* chevron_ = nullptr;
    LogView* logView_ = nullptr;
    LogModel* logModel_ = nullptr;
    QToolButton* save_ = nullptr;
    QToolButton* logo_ = nullptr;
    QToolButton* settingsButton_ = nullptr;
    dispatch::Cancellable aliveSubscription_;
};

}  // namespace vorn::app
