#include "app/LogLineDelegate.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>

namespace vorn::app {

namespace {

constexpr int horizontalPadding = 6;
constexpr int verticalPadding = 2;
constexpr double plateRadius = 3;

}  // namespace

LogLineDelegate::LogLineDelegate(QObject* parent)
    : QStyledItemDelegate(parent), font_(lineFont()),
      rowHeight_(QFontMetrics(font_).height() + 2 * verticalPadding) {}

QFont LogLineDelegate::lineFont() {
    // Caption size: a little smaller than the desktop's body text.
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const double size = font.pointSizeF() > 0 ? font.pointSizeF() : 10.0;
    font.setPointSizeF(std::max(7.0, size - 1.0));
    return font;
}

void LogLineDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    const QString text = index.data(Qt::DisplayRole).toString();
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);

    const QRectF plate = QRectF(option.rect).adjusted(0.5, 0.5, -0.5, -0.5);
    QPainterPath path;
    path.addRoundedRect(plate, plateRadius, plateRadius);
    const bool selected = option.state.testFlag(QStyle::State_Selected);
    painter->fillPath(path, selected ? option.palette.color(QPalette::Highlight) : QColor(0, 0, 0, 26));

    painter->setFont(font_);
    painter->setPen(selected ? option.palette.color(QPalette::HighlightedText) : QColor(Qt::white));
    const QRect textRect = option.rect.adjusted(horizontalPadding, verticalPadding, -horizontalPadding, -verticalPadding);
    // drawText takes the string as characters; nothing here parses markup.
    const QString shown = QFontMetrics(font_).elidedText(text, Qt::ElideRight, textRect.width());
    painter->drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, shown);
    painter->restore();
}

QSize LogLineDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // Width is the view's business (it stretches rows to the viewport); a
    // fixed height keeps every row alike.
    return {1, rowHeight_};
}

}  // namespace vorn::app
