#include "app/QualityStrip.h"

#include "app/LinkFigures.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>

namespace vorn::app {

namespace {

constexpr double largestPointSize = 13;
constexpr double smallestPointSize = 8;
constexpr double plateRadius = 4;
constexpr int sideMargin = 12;

QColor amber() { return QColor(255, 204, 0); }

// The largest size, down to the smallest, at which `text` fits `width`.
QFont fitted(QFont font, const QString& text, double width) {
    for (double size = largestPointSize; size >= smallestPointSize; size -= 0.5) {
        font.setPointSizeF(size);
        if (QFontMetricsF(font).horizontalAdvance(text) <= width) {
            return font;
        }
    }
    return font;
}

}  // namespace

QualityStrip::QualityStrip(std::shared_ptr<monitor::OSCManager> manager, QWidget* parent)
    : QWidget(parent), manager_(std::move(manager)), clock_(new QTimer(this)), refresh_(new QTimer(this)) {
    setObjectName(QStringLiteral("quality"));
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFixedHeight(stripHeight);
    refresh_->setSingleShot(true);
    refresh_->setInterval(refreshInterval);
    connect(refresh_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    subscription_ = manager_->statistics.subscribe([this](const monitor::LinkStatistics&) {
        if (!refresh_->isActive()) {
            refresh_->start();
        }
    });
    clock_->setInterval(1000);
    connect(clock_, &QTimer::timeout, this, qOverload<>(&QWidget::update));
    clock_->start();
}

QualityStrip::~QualityStrip() {
    subscription_.cancel();
}

QSize QualityStrip::sizeHint() const {
    return {200, stripHeight};
}

void QualityStrip::paintEvent(QPaintEvent*) {
    const monitor::LinkStatistics statistics = manager_->currentStatistics();
    const figures::CompactLine line = figures::compactLine(statistics);

    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF area = QRectF(rect()).adjusted(sideMargin, 0, -sideMargin, 0);

    QFont bold = font();
    bold.setWeight(QFont::DemiBold);
    const QString separator = QStringLiteral(" · ");
    bold = fitted(bold, line.roundTrip + separator + line.rest + QStringLiteral("  "), area.width());
    const QFontMetricsF metrics(bold);
    const double lineHeight = metrics.height();
    const double top = area.top() + 2;

    const double roundTripWidth = metrics.horizontalAdvance(line.roundTrip);
    const double restWidth = metrics.horizontalAdvance(separator + line.rest);
    const double padding = line.slow ? metrics.horizontalAdvance(QLatin1Char(' ')) : 0;
    double x = area.center().x() - (roundTripWidth + 2 * padding + restWidth) / 2;
    x = std::max(x, area.left());

    painter.setFont(bold);
    const QRectF roundTripBox(x, top, roundTripWidth + 2 * padding, lineHeight);
    if (line.slow) {
        QPainterPath plate;
        plate.addRoundedRect(roundTripBox, plateRadius, plateRadius);
        painter.fillPath(plate, amber());
    }
    painter.setPen(QColor(0, 0, 0, 220));
    painter.drawText(roundTripBox, Qt::AlignCenter, line.roundTrip);
    const QRectF restBox(roundTripBox.right(), top, area.right() - roundTripBox.right(), lineHeight);
    painter.drawText(restBox, Qt::AlignLeft | Qt::AlignVCenter,
                     metrics.elidedText(separator + line.rest, Qt::ElideRight, restBox.width()));

    QFont small = font();
    small.setPointSizeF(std::max(smallestPointSize, bold.pointSizeF() - 3));
    painter.setFont(small);
    painter.setPen(QColor(0, 0, 0, 170));
    const QRectF stateBox(area.left(), top + lineHeight, area.width(), area.bottom() - top - lineHeight);
    painter.drawText(stateBox, Qt::AlignHCenter | Qt::AlignTop, figures::stateTime(statistics));
}

}  // namespace vorn::app
