#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QPointF>
#include <QSizeF>
#include <QVariantAnimation>
#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace vorn::app {

// The heart-monitor strip: a faint baseline across a black band, a spike
// drawn left to right on every heartbeat and faded out over one ping
// interval, and the user's title behind both.
//
// Notifications only record state and call update(); paintEvent reads it.
class WaveformView final : public QWidget {
    Q_OBJECT

public:
    static constexpr double amplitude = 20.0;
    static constexpr double spikeWidthRatio = 0.1;
    static constexpr double baselineOpacity = 0.2;
    // The band is two amplitudes and a little air high.
    static constexpr int bandHeight = static_cast<int>(amplitude * 2 + 10);
    static constexpr int trimMilliseconds = 200;

    WaveformView(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                 QWidget* parent = nullptr);
    ~WaveformView() override;

    // The beat's polyline for a band of `size`, from the left edge to the
    // right one along the middle.
    static std::array<QPointF, 9> spikePoints(QSizeF size);

    // The first `fraction` (0 to 1) of `points` by length.
    static std::vector<QPointF> trimmed(const std::array<QPointF, 9>& points, double fraction);

    // Whether `title` shows at all: not when it holds nothing but spaces
    // and tabs.
    static bool showsTitle(std::string_view title);

    // The line written to standard output for each heartbeat, without its
    // line feed.
    static std::string spikeLine(std::int64_t heartbeatCount);

    // Stops the latest beat where it stands `since` after it began, as a
    // still picture shows it, whatever time the animations have had.
    void freezeBeat(std::chrono::milliseconds since);

    double pathTrim() const noexcept { return pathTrim_; }
    double spikeOpacity() const noexcept { return spikeOpacity_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void spike(std::int64_t heartbeatCount);
    void startFade();

    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<monitor::OSCManager> manager_;
    double pathTrim_ = 0;
    double spikeOpacity_ = 0;
    QVariantAnimation trimAnimation_;
    QVariantAnimation fadeAnimation_;
    // Whether a heartbeat waits for its animations to start.
    bool beatQueued_ = false;
    bool subscribed_ = false;
    dispatch::Cancellable heartbeatSubscription_;
    dispatch::Cancellable titleSubscription_;
};

}  // namespace vorn::app
