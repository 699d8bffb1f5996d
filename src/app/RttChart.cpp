#include "app/RttChart.h"

#include "app/LinkFigures.h"
#include "app/Palette.h"

#include <QFontMetrics>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <optional>
#include <vector>

namespace vorn::app {

namespace {

constexpr int leftMargin = 52;
constexpr int rightMargin = 12;
constexpr int topMargin = 14;
constexpr int bottomMargin = 24;
constexpr int missMarkHeight = 6;
constexpr int gridLines = 4;

QColor background() { return QColor(28, 28, 30); }
QColor gridColor() { return QColor(255, 255, 255, 40); }
QColor labelColor() { return QColor(255, 255, 255, 170); }
QColor outageShade() { return QColor(255, 59, 48, 70); }
QColor amber() { return QColor(255, 204, 0); }

// What one column of pixels shows.
struct Column {
    std::optional<double> slowestMs;
    bool missed = false;
};

}  // namespace

RttChart::RttChart(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)) {
    setObjectName(QStringLiteral("rttChart"));
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

double RttChart::scaleTop(double slowestMs) {
    const double wanted = std::max(1.0, slowestMs * 1.1);
    const double power = std::pow(10.0, std::floor(std::log10(wanted)));
    for (const double step : {1.0, 2.0, 5.0, 10.0}) {
        if (step * power >= wanted) {
            return step * power;
        }
    }
    return 10 * power;
}

void RttChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), background());
    const QRect plot = rect().adjusted(leftMargin, topMargin, -rightMargin, -bottomMargin);
    if (plot.width() < 10 || plot.height() < 10) {
        return;
    }

    const monitor::LinkStatistics statistics = manager_->currentStatistics();
    const auto& pings = manager_->quality().pings();
    const auto& outages = statistics.session.outages;
    const monitor::MonitorTime end = statistics.at;
    monitor::MonitorTime start = end;
    if (!pings.empty()) {
        start = std::min(start, pings.front().sentAt);
    }
    if (!outages.empty()) {
        start = std::min(start, outages.front().start);
    }
    // A chart of a few seconds is still a chart: at least a minute across.
    start = std::min(start, end - std::chrono::duration_cast<monitor::MonitorTime>(std::chrono::minutes(1)));
    const double span = monitor::milliseconds(end - start);
    const auto xOf = [&](monitor::MonitorTime at) {
        return plot.left() + monitor::milliseconds(at - start) / span * plot.width();
    };

    std::vector<Column> columns(static_cast<std::size_t>(plot.width()));
    double slowest = 0;
    for (const auto& ping : pings) {
        const auto column = std::clamp<long>(std::lround(xOf(ping.sentAt)) - plot.left(), 0,
                                             static_cast<long>(columns.size()) - 1);
        Column& c = columns[static_cast<std::size_t>(column)];
        if (ping.roundTrip) {
            const double ms = monitor::milliseconds(*ping.roundTrip);
            c.slowestMs = std::max(c.slowestMs.value_or(0), ms);
            slowest = std::max(slowest, ms);
        } else if (&ping != &pings.back()) {
            // The newest ping may still be answered.
            c.missed = true;
        }
    }
    const double slowMs = static_cast<double>(manager_->settings()->slowRoundTripMs.get());
    const double top = scaleTop(std::max(slowest, slowMs));
    const auto yOf = [&](double ms) { return plot.bottom() - ms / top * plot.height(); };

    // Outages first, under everything else.
    for (const auto& outage : outages) {
        const double left = xOf(outage.start);
        const double right = xOf(outage.end.value_or(end));
        painter.fillRect(QRectF(left, plot.top(), std::max(1.0, right - left), plot.height()), outageShade());
    }

    painter.setFont(font());
    const QFontMetrics metrics(font());
    for (int i = 0; i <= gridLines; ++i) {
        const double ms = top * i / gridLines;
        const double y = yOf(ms);
        painter.setPen(gridColor());
        painter.drawLine(QPointF(plot.left(), y), QPointF(plot.right(), y));
        painter.setPen(labelColor());
        const QString label = QString::number(ms, 'g', 3) + QStringLiteral(" ms");
        painter.drawText(QRectF(0, y - metrics.height() / 2.0, leftMargin - 6, metrics.height()),
                         Qt::AlignRight | Qt::AlignVCenter, label);
    }
    const bool seconds = span < 10 * 60 * 1000.0;
    for (const auto& [at, alignment] : {std::pair{start, Qt::AlignLeft}, std::pair{end, Qt::AlignRight}}) {
        const double x = alignment == Qt::AlignLeft ? plot.left() : plot.right() - 200;
        painter.drawText(QRectF(x, plot.bottom() + 4, 200, bottomMargin - 4), alignment | Qt::AlignTop,
                         figures::wallClock(statistics, at, seconds ? QStringLiteral("HH:mm:ss") : QStringLiteral("HH:mm")));
    }

    painter.setRenderHint(QPainter::Antialiasing, false);
    // Few pings get bars wide enough to see; many get a pixel each.
    const double barWidth =
        std::clamp(0.6 * plot.width() / static_cast<double>(std::max<std::size_t>(pings.size(), 1)), 1.0, 8.0);
    for (std::size_t i = 0; i < columns.size(); ++i) {
        const double x = plot.left() + static_cast<double>(i) + 0.5;
        if (columns[i].slowestMs) {
            const bool slow = slowMs > 0 && *columns[i].slowestMs > slowMs;
            painter.setPen(QPen(slow ? amber() : palette::green(), barWidth, Qt::SolidLine, Qt::FlatCap));
            painter.drawLine(QPointF(x, plot.bottom()), QPointF(x, std::min(yOf(*columns[i].slowestMs), plot.bottom() - 1.0)));
        }
        if (columns[i].missed) {
            painter.setPen(QPen(palette::red(), barWidth, Qt::SolidLine, Qt::FlatCap));
            painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.top() + missMarkHeight));
        }
    }
    if (slowMs > 0) {
        QPen dashed(amber(), 1, Qt::DashLine);
        painter.setPen(dashed);
        painter.drawLine(QPointF(plot.left(), yOf(slowMs)), QPointF(plot.right(), yOf(slowMs)));
    }
    painter.setPen(gridColor());
    painter.drawRect(plot.adjusted(0, 0, -1, -1));
}

}  // namespace vorn::app
