#pragma once

#include "monitor/OSCManager.h"

#include <QWidget>

#include <memory>

namespace vorn::app {

// The session's round trips as a latency graph: a bar per ping (or, when
// there are more pings than pixels, per column of pixels, as high as the
// slowest ping in it), a red mark at the top for each miss, outages shaded
// red across the whole height, and the slow-link threshold as a dashed
// amber line when one is set. Wall-clock times along the bottom, round trips
// in milliseconds up the side.
//
// Painting reads the monitor's pings where they are kept; whoever shows the
// chart calls update() when the figures change.
class RttChart final : public QWidget {
    Q_OBJECT

public:
    explicit RttChart(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent = nullptr);

    QSize sizeHint() const override { return {560, 220}; }
    QSize minimumSizeHint() const override { return {240, 120}; }

    // The top of the scale for round trips up to `slowestMs`: 1, 2 or 5
    // times a power of ten, never below 1 ms.
    static double scaleTop(double slowestMs);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::shared_ptr<monitor::OSCManager> manager_;
};

}  // namespace vorn::app
