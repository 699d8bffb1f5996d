#include "app/LinkFigures.h"

#include <chrono>
#include <cmath>
#include <optional>

namespace vorn::app::figures {

namespace {

std::optional<QDateTime>& pinnedOrigin() {
    static std::optional<QDateTime> origin;
    return origin;
}

QString number(double value) {
    // One decimal below 10, where a tenth of a millisecond still tells
    // something; rounded to whole numbers above.
    if (std::abs(value) < 9.95) {
        return QString::number(value, 'f', 1);
    }
    return QString::number(std::llround(value));
}

}  // namespace

QString milliseconds(std::optional<double> ms) {
    return (ms ? number(*ms) : QStringLiteral("–")) + QStringLiteral(" ms");
}

QString duration(monitor::MonitorTime time) {
    using namespace std::chrono;
    const auto total = std::max<long long>(0, duration_cast<seconds>(time).count());
    const long long days = total / 86'400;
    const long long hours = total / 3'600 % 24;
    const long long minutes = total / 60 % 60;
    const long long secs = total % 60;
    const auto two = [](long long v) { return QStringLiteral("%1").arg(v, 2, 10, QLatin1Char('0')); };
    if (days > 0) {
        return QStringLiteral("%1 d %2 h").arg(days).arg(hours);
    }
    if (hours > 0) {
        return QStringLiteral("%1 h %2 min").arg(hours).arg(two(minutes));
    }
    if (minutes > 0) {
        return QStringLiteral("%1 min %2 s").arg(minutes).arg(secs);
    }
    return QStringLiteral("%1 s").arg(secs);
}

QString percent(double value) {
    // 99.96 % is not up all the time: it shows as 99.9, never as 100.
    const double tenths = std::floor(value * 10 + 1e-9) / 10;
    const bool whole = tenths == std::floor(tenths);
    return QString::number(tenths, 'f', whole ? 0 : 1) + QStringLiteral(" %");
}

QString outages(std::uint64_t count) {
    if (count == 0) {
        return QStringLiteral("no outages");
    }
    return count == 1 ? QStringLiteral("1 outage") : QStringLiteral("%1 outages").arg(count);
}

CompactLine compactLine(const monitor::LinkStatistics& statistics) {
    const auto& rolling = statistics.rolling;
    CompactLine line;
    line.roundTrip = milliseconds(rolling.lastMs);
    line.slow = statistics.slow;
    line.rest = QStringLiteral("jitter %1 · loss %2 · up %3 · %4")
                    .arg(milliseconds(rolling.jitterMs), percent(rolling.lossPercent),
                         percent(statistics.session.availabilityPercent), outages(statistics.session.outageCount));
    return line;
}

QString stateTime(const monitor::LinkStatistics& statistics) {
    const auto& session = statistics.session;
    if (!session.alive) {
        return QStringLiteral("waiting for the first verdict");
    }
    return QStringLiteral("%1 for %2").arg(*session.alive ? QStringLiteral("ALIVE") : QStringLiteral("DEAD"),
                                           duration(session.inCurrentState));
}

QString wallClock(const monitor::LinkStatistics& statistics, monitor::MonitorTime at, const QString& format) {
    using Ms = std::chrono::milliseconds;
    if (const auto& origin = pinnedOrigin()) {
        return origin->addMSecs(std::chrono::duration_cast<Ms>(at).count()).toString(format);
    }
    const auto ms = std::chrono::duration_cast<Ms>(statistics.wallTime(at).time_since_epoch()).count();
    return QDateTime::fromMSecsSinceEpoch(ms).toString(format);
}

void pinWallOrigin(const QDateTime& origin) {
    pinnedOrigin() = origin;
}

}  // namespace vorn::app::figures
