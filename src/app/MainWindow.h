#pragma once

#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QList>
#include <QRect>
#include <QRectF>
#include <QSize>
#include <QWidget>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vorn::app {

class MonitorView;

// The main window: hosts the monitor view, keeps its frame across runs,
// follows the opacity and always-on-top settings, and on its first showing
// starts the monitor's server task and ping timer once more.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    static constexpr const char* title = "Vorn OSC 2";
    static constexpr std::string_view frameKey = "VornOSC2.windowFrame";
    static constexpr QSize minimumFrameSize{300, 160};
    static constexpr QSize maximumFrameSize{600, 400};

    MainWindow(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
               dispatch::MainLoop& mainLoop, QWidget* parent = nullptr);
    ~MainWindow() override;

    // "{{x, y}, {w, h}}": Qt's top-left origin, each number in the shortest
    // form that reads back as the same double.
    static std::string frameText(const QRectF& frame);

    // The frame that frameText() wrote; nothing for any other text, for
    // numbers that are not finite or beyond any screen, and for an empty size.
    static std::optional<QRectF> parseFrameText(std::string_view text);

    // A size the user proposes by dragging, brought into 300-600 × 160-400.
    static QSize clampedSize(QSize proposed);

    // `frame` where it is when it overlaps one of `screens`; otherwise moved,
    // at its size, onto `primary` (centred, or to its top-left corner when it
    // does not fit), so a window last shown on a screen that has since gone
    // is not lost off every screen.
    static QRect placedOnScreens(const QRect& frame, const QList<QRect>& screens, const QRect& primary);

    // Writes the current frame under frameKey in the settings' store.
    void saveFrame();

    // Applies the stored frame, if there is one that parses. Returns whether
    // it did.
    bool restoreFrame();

    MonitorView* monitorView() const noexcept { return monitorView_; }

    // Whether the first showing has run its start-up steps.
    bool hasAppeared() const noexcept { return appeared_; }

    void setVisible(bool visible) override;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void appear();
    void applyAlwaysOnTop(bool onTop);

    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<monitor::OSCManager> manager_;
    MonitorView* monitorView_;
    bool appeared_ = false;
    dispatch::Cancellable opacitySubscription_;
    dispatch::Cancellable onTopSubscription_;
};

}  // namespace vorn::app
