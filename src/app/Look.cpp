#include "app/Look.h"

#include <QApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyleFactory>
#include <QSvgRenderer>

#include <algorithm>
#include <cmath>

namespace vorn::app::look {

namespace {

// Fields and buttons a step lighter than the window, so that their edges
// show without drawn borders.
const QColor background(0x1c, 0x1c, 0x1e);
const QColor field(0x2c, 0x2c, 0x2e);
const QColor raised(0x3a, 0x3a, 0x3c);
const QColor text(0xf5, 0xf5, 0xf7);
const QColor dimmed(0x8e, 0x8e, 0x93);
const QColor highlight(0x0a, 0x4a, 0xa8);

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& colour) {
    return 0.2126 * linear(colour.redF()) + 0.7152 * linear(colour.greenF()) + 0.0722 * linear(colour.blueF());
}

}  // namespace

QPalette darkPalette() {
    QPalette p;
    for (const QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Window, background);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, field);
        p.setColor(group, QPalette::AlternateBase, raised);
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::PlaceholderText, dimmed);
        p.setColor(group, QPalette::Button, raised);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::BrightText, Qt::white);
        p.setColor(group, QPalette::Highlight, highlight);
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::ToolTipBase, raised);
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::Link, QColor(0x64, 0xa8, 0xff));
        // The bevels Fusion draws frames and panels with.
        p.setColor(group, QPalette::Light, QColor(0x5a, 0x5a, 0x5e));
        p.setColor(group, QPalette::Midlight, QColor(0x48, 0x48, 0x4a));
        p.setColor(group, QPalette::Mid, QColor(0x3a, 0x3a, 0x3c));
        p.setColor(group, QPalette::Dark, QColor(0x10, 0x10, 0x12));
        p.setColor(group, QPalette::Shadow, Qt::black);
    }
    p.setColor(QPalette::Disabled, QPalette::Window, background);
    p.setColor(QPalette::Disabled, QPalette::Base, background);
    p.setColor(QPalette::Disabled, QPalette::Button, background);
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, dimmed);
    }
    p.setColor(QPalette::Disabled, QPalette::Highlight, raised);
    return p;
}

QString styleSheet() {
    return QStringLiteral(
        "QScrollBar:vertical { background: transparent; width: 10px; margin: 2px 2px 2px 0; }"
        "QScrollBar:horizontal { background: transparent; height: 10px; margin: 0 2px 2px 2px; }"
        "QScrollBar::handle { background: rgba(255, 255, 255, 110); border-radius: 4px; }"
        "QScrollBar::handle:hover, QScrollBar::handle:pressed { background: rgba(255, 255, 255, 190); }"
        "QScrollBar::handle:vertical { min-height: 24px; }"
        "QScrollBar::handle:horizontal { min-width: 24px; }"
        "QScrollBar::add-line, QScrollBar::sub-line { width: 0; height: 0; border: none; background: none; }"
        "QScrollBar::add-page, QScrollBar::sub-page { background: none; }");
}

void apply(QApplication& application) {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    QApplication::setPalette(darkPalette());
    application.setStyleSheet(styleSheet());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QIcon symbolIcon(const QString& name, int size, const QColor& colour, double opacity) {
    QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
    QIcon icon;
    for (const int scale : {1, 2}) {
        QPixmap pixmap(size * scale, size * scale);
        pixmap.fill(Qt::transparent);
        {
            QPainter painter(&pixmap);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter);
            // The symbol's shape, in the colour asked for.
            painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
            QColor tint = colour;
            tint.setAlphaF(static_cast<float>(std::clamp(opacity, 0.0, 1.0) * colour.alphaF()));
            painter.fillRect(pixmap.rect(), tint);
        }
        pixmap.setDevicePixelRatio(scale);
        icon.addPixmap(pixmap);
    }
    return icon;
}

QColor symbolColour() {
    return text;
}

}  // namespace vorn::app::look
