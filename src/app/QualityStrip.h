#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/OSCManager.h"

#include <QWidget>

#include <memory>

class QTimer;

namespace vorn::app {

// The link's figures under the waveform, in black on the status light like
// the window's symbols and large enough to read across the room: the
// newest round trip (on an amber plate while the link is slow), jitter,
// loss, availability and outages, and under them the time in the current
// state.
//
// Painting reads the monitor's figures as they are at that moment; the
// monitor's updates and a once-a-second timer (for the time in the state)
// only ask for a repaint, the updates at most once per `refreshInterval`:
// a chatty console brings hundreds of replies a second.
class QualityStrip final : public QWidget {
    Q_OBJECT

public:
    static constexpr int stripHeight = 40;
    static constexpr int refreshInterval = 30;

    explicit QualityStrip(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent = nullptr);
    ~QualityStrip() override;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::shared_ptr<monitor::OSCManager> manager_;
    QTimer* clock_;
    QTimer* refresh_;
    dispatch::Cancellable subscription_;
};

}  // namespace vorn::app
