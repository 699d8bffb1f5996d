#include "app/HeartIcon.h"

#include <QColor>
#include <QImage>
#include <QLineF>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QPixmap>

#include <algorithm>
#include <array>

namespace vorn::app {
namespace {

// Every size a tray or a window manager is likely to ask for; other sizes are
// scaled from the nearest of these.
constexpr std::array<int, 7> iconSizes{16, 22, 24, 32, 48, 64, 128};

// A dark body with a light rim: the dark shows on a light tray, the rim on a
// dark one.
const QColor bodyColour(0x26, 0x26, 0x26);
const QColor rimColour(0xf2, 0xf2, 0xf2);

// The heart in a box of `side` pixels whose corner is at `origin`.
QPainterPath heartPath(QPointF origin, qreal side) {
    auto at = [&](qreal x, qreal y) { return origin + QPointF(x * side, y * side); };
    QPainterPath path(at(0.5, 0.93));
    path.cubicTo(at(0.12, 0.66), at(0.0, 0.46), at(0.0, 0.30));
    path.cubicTo(at(0.0, 0.14), at(0.12, 0.05), at(0.27, 0.05));
    path.cubicTo(at(0.38, 0.05), at(0.46, 0.11), at(0.5, 0.21));
    path.cubicTo(at(0.54, 0.11), at(0.62, 0.05), at(0.73, 0.05));
    path.cubicTo(at(0.88, 0.05), at(1.0, 0.14), at(1.0, 0.30));
    path.cubicTo(at(1.0, 0.46), at(0.88, 0.66), at(0.5, 0.93));
    path.closeSubpath();
    return path;
}

QPainterPath strokeOf(const QLineF& line, qreal width) {
    QPainterPath centre(line.p1());
    centre.lineTo(line.p2());
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    return stroker.createStroke(centre);
}

QPixmap drawHeart(int size, bool alive) {
    // The rim must stay at least a pixel wide at 16 px, where it matters most.
    const qreal rim = std::max<qreal>(1.0, size / 16.0);
    const QPointF origin(rim, rim);
    const qreal side = size - 2 * rim;

    QPainterPath shape = heartPath(origin, side);
    if (!alive) {
        // The slash runs from the upper left to the lower right, with a gap
        // cut into the heart on either side so it reads at tray sizes.
        const QLineF slash(origin + QPointF(0.08 * side, 0.06 * side), origin + QPointF(0.92 * side, 0.94 * side));
        const qreal slashWidth = std::max<qreal>(1.5, side * 0.09);
        const qreal gapWidth = slashWidth + 2 * std::max<qreal>(1.0, side * 0.06);
        shape = shape.subtracted(strokeOf(slash, gapWidth)).united(strokeOf(slash, slashWidth));
    }

    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    // The rim is the outer half of a stroke twice its width; the fill then
    // covers the inner half.
    painter.strokePath(shape, QPen(rimColour, 2 * rim, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.fillPath(shape, bodyColour);
    painter.end();
    return QPixmap::fromImage(image);
}

}  // namespace

QIcon heartIcon(bool alive) {
    QIcon icon;
    for (const int size : iconSizes) {
        icon.addPixmap(drawHeart(size, alive));
    }
    return icon;
}

}  // namespace vorn::app
