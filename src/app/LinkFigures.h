#pragma once

#include "monitor/LinkStatistics.h"

#include <QDateTime>
#include <QString>

#include <optional>

namespace vorn::app::figures {

// The link's figures as the window writes them. Round trips under 10 ms
// keep one decimal ("2.8 ms"), longer ones none ("143 ms"); "– ms" when
// there is none.
QString milliseconds(std::optional<double> ms);
// "45 s", "3 min 12 s", "2 h 05 min", "3 d 4 h".
QString duration(monitor::MonitorTime time);
// "0 %", "99.8 %", "100 %": one decimal unless whole.
QString percent(double value);
// "no outages", "1 outage", "12 outages".
QString outages(std::uint64_t count);

// The line under the waveform: the newest round trip on its own, since it
// alone turns amber on a slow link, and the rest, for example
// "jitter 1 ms · loss 0 % · up 99.8 % · 2 outages".
struct CompactLine {
    QString roundTrip;
    QString rest;
    bool slow = false;

    QString text() const { return roundTrip + QStringLiteral(" · ") + rest; }
};
CompactLine compactLine(const monitor::LinkStatistics& statistics);

// "ALIVE for 12 min 5 s", "DEAD for 40 s", or "waiting for the first
// verdict" before the monitor has judged an interval.
QString stateTime(const monitor::LinkStatistics& statistics);

// The local wall-clock time of a moment on the monitor's clock, in
// QDateTime's `format`.
QString wallClock(const monitor::LinkStatistics& statistics, monitor::MonitorTime at, const QString& format);

// For pictures that must come out the same on every run: from now on the
// monitor's time 0 is shown as `origin`, whatever the clock said.
void pinWallOrigin(const QDateTime& origin);

}  // namespace vorn::app::figures
