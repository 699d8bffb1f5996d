#include "app/WaveformView.h"

#include "app/Palette.h"

#include <QEasingCurve>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>

namespace vorn::app {

namespace {

// A gentle ease-out with the same control points as the usual CSS-style
// "ease-out" curve.
QEasingCurve easeOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment(QPointF(0, 0), QPointF(0.58, 1), QPointF(1, 1));
    return curve;
}

// Writes `text` to `fd` as far as it goes without waiting, and drops the rest:
// a reader that has stopped reading (a full pipe, a terminal paused with
// Ctrl-S) must never hold up the thread that draws the window and sends the
// pings. A pipe is writable when one of its slots is free, which takes a line
// this short whole; a pipe with no reader left refuses the write (SIGPIPE is
// ignored in the app).
void writeWithoutWaiting(int fd, std::string_view text) {
    while (!text.empty()) {
        pollfd ready{fd, POLLOUT, 0};
        const int polled = ::poll(&ready, 1, 0);
        if (polled < 0 && errno == EINTR) {
            continue;
        }
        if (polled <= 0 || (ready.revents & POLLOUT) == 0 || (ready.revents & (POLLERR | POLLNVAL)) != 0) {
            return;
        }
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

}  // namespace

WaveformView::WaveformView(std::shared_ptr<monitor::OSCSettings> settings,
                           std::shared_ptr<monitor::OSCManager> manager, QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)), manager_(std::move(manager)) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    trimAnimation_.setDuration(trimMilliseconds);
    trimAnimation_.setEasingCurve(easeOut());
    trimAnimation_.setStartValue(0.0);
    trimAnimation_.setEndValue(1.0);
    connect(&trimAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        pathTrim_ = value.toDouble();
        update();
    });

    fadeAnimation_.setEasingCurve(QEasingCurve::Linear);
    fadeAnimation_.setStartValue(1.0);
    fadeAnimation_.setEndValue(0.0);
    connect(&fadeAnimation_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        spikeOpacity_ = value.toDouble();
        update();
    });

    // A subscription hands over the current count at once; that is no
    // heartbeat, so only the values after it spike.
    heartbeatSubscription_ = manager_->heartbeatCount.subscribe([this](const std::int64_t& count) {
        if (subscribed_) {
            spike(count);
        }
    });
    subscribed_ = true;
    titleSubscription_ = settings_->title.subscribe([this](const std::string&) { update(); });
}

WaveformView::~WaveformView() {
    heartbeatSubscription_.cancel();
    titleSubscription_.cancel();
}

std::array<QPointF, 9> WaveformView::spikePoints(QSizeF size) {
    const double w = size.width();
    const double midY = size.height() * 0.5;
    const double midX = w * 0.5;
    const double sw = w * spikeWidthRatio;
    const double a = amplitude;
    const double x0 = midX - sw * 0.5;
    return {{
        {0, midY},
        {x0, midY},
        {x0 + 0.12 * sw, midY - 0.3 * a},
        {x0 + 0.2 * sw + 2, midY + 0.4 * a},
        {x0 + 0.4 * sw, midY - a},
        {x0 + 0.52 * sw, midY + 0.8 * a},
        {x0 + 0.72 * sw, midY - 0.1 * a},
        {x0 + 0.8 * sw, midY},
        {w, midY},
    }};
}

std::vector<QPointF> WaveformView::trimmed(const std::array<QPointF, 9>& points, double fraction) {
    std::vector<QPointF> result;
    if (!(fraction > 0)) {
        return result;
    }
    fraction = std::min(fraction, 1.0);
    double total = 0;
    for (std::size_t i = 1; i < points.size(); ++i) {
        total += std::hypot(points[i].x() - points[i - 1].x(), points[i].y() - points[i - 1].y());
    }
    double left = total * fraction;
    result.push_back(points[0]);
    for (std::size_t i = 1; i < points.size(); ++i) {
        const QPointF from = points[i - 1];
        const QPointF to = points[i];
        const double length = std::hypot(to.x() - from.x(), to.y() - from.y());
        if (length >= left) {
            const double t = length > 0 ? left / length : 0;
            result.push_back(from + (to - from) * t);
            return result;
        }
        result.push_back(to);
        left -= length;
    }
    return result;
}

bool WaveformView::showsTitle(std::string_view title) {
    return title.find_first_not_of(" \t") != std::string_view::npos;
}

std::string WaveformView::spikeLine(std::int64_t heartbeatCount) {
    return "WaveformView spike for heartbeatCount=" + std::to_string(heartbeatCount);
}

QSize WaveformView::sizeHint() const {
    return {300, bandHeight};
}

QSize WaveformView::minimumSizeHint() const {
    return {0, bandHeight};
}

void WaveformView::spike(std::int64_t heartbeatCount) {
    // Straight to the descriptor: the C library's buffered stream would wait
    // for a slow reader in its flush.
    writeWithoutWaiting(STDOUT_FILENO, spikeLine(heartbeatCount) + "\n");

    trimAnimation_.stop();
    fadeAnimation_.stop();
    pathTrim_ = 0;
    spikeOpacity_ = 1;
    update();
    // The beat is drawn from the next turn on, once for all the heartbeats
    // of this one: a chatty console brings several in one turn. The fade
    // reads the interval then.
    if (!beatQueued_) {
        beatQueued_ = true;
        QTimer::singleShot(0, this, [this] {
            if (beatQueued_) {
                beatQueued_ = false;
                trimAnimation_.start();
                startFade();
            }
        });
    }
}

void WaveformView::freezeBeat(std::chrono::milliseconds since) {
    // A beat still queued would start it over.
    beatQueued_ = false;
    trimAnimation_.stop();
    fadeAnimation_.stop();
    const double ms = static_cast<double>(since.count());
    pathTrim_ = trimAnimation_.easingCurve().valueForProgress(std::clamp(ms / trimMilliseconds, 0.0, 1.0));
    const double fadeMs = std::max(1.0, settings_->pingInterval.get() * 1000);
    spikeOpacity_ = 1.0 - std::clamp(ms / fadeMs, 0.0, 1.0);
    update();
}

void WaveformView::startFade() {
    const double seconds = settings_->pingInterval.get();
    fadeAnimation_.stop();
    fadeAnimation_.setDuration(std::max(1, static_cast<int>(std::lround(seconds * 1000))));
    fadeAnimation_.start();
}

void WaveformView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const QSizeF size = QSizeF(width(), height());

    const std::string& title = settings_->title.get();
    if (showsTitle(title)) {
        // Large and bold, shrinking to half size before it is cut short.
        const QString text = QString::fromStdString(title);
        QFont font = this->font();
        font.setBold(true);
        const double fullSize = std::max(1.0, size.height() * 0.6);
        font.setPixelSize(static_cast<int>(fullSize));
        const double fullWidth = QFontMetricsF(font).horizontalAdvance(text);
        if (fullWidth > size.width() && fullWidth > 0) {
            const double scale = std::max(0.5, size.width() / fullWidth);
            font.setPixelSize(std::max(1, static_cast<int>(fullSize * scale)));
        }
        painter.setFont(font);
        painter.setPen(Qt::white);
        const QString shown = QFontMetricsF(font).elidedText(text, Qt::ElideRight, size.width(), Qt::TextSingleLine);
        painter.drawText(QRectF(QPointF(0, 0), size), Qt::AlignCenter | Qt::TextSingleLine, shown);
    }

    QColor green = palette::green();
    const double midY = size.height() * 0.5;
    green.setAlphaF(static_cast<float>(baselineOpacity));
    painter.setPen(QPen(green, 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.drawLine(QPointF(0, midY), QPointF(size.width(), midY));

    if (pathTrim_ > 0 && spikeOpacity_ > 0) {
        const auto points = trimmed(spikePoints(size), pathTrim_);
        green.setAlphaF(static_cast<float>(std::clamp(spikeOpacity_, 0.0, 1.0)));
        painter.setPen(QPen(green, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.drawPolyline(points.data(), static_cast<int>(points.size()));
    }
}

}  // namespace vorn::app
