#include "app/LogLineDelegate.h"

#include "app/LogModel.h"

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
constexpr int columnGap = 10;
// A sender's column takes at most this share of the row, so the line keeps
// most of it.
constexpr double senderShare = 0.35;

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
    const QColor ink = selected ? option.palette.color(QPalette::HighlightedText) : QColor(Qt::white);
    QColor faint = ink;
    faint.setAlphaF(0.6);
    const QFontMetrics metrics(font_);
    QRect textRect = option.rect.adjusted(horizontalPadding, verticalPadding, -horizontalPadding, -verticalPadding);
    constexpr auto oneLine = Qt::AlignVCenter | Qt::TextSingleLine;

    // The time and the sender sit beside the line in fainter ink; they are
    // the model's, not the line's, so nothing here changes what is copied.
    const QString time = index.data(LogModel::TimeRole).toString();
    if (!time.isEmpty()) {
        painter->setPen(faint);
        painter->drawText(textRect, Qt::AlignLeft | oneLine, time);
        textRect.setLeft(textRect.left() + metrics.horizontalAdvance(QStringLiteral("00:00:00")) + columnGap);
    }
    const QString sender = index.data(LogModel::SenderRole).toString();
    if (!sender.isEmpty()) {
        const int width = std::min(metrics.horizontalAdvance(sender), static_cast<int>(textRect.width() * senderShare));
        painter->setPen(faint);
        painter->drawText(textRect, Qt::AlignRight | oneLine, metrics.elidedText(sender, Qt::ElideMiddle, width));
        textRect.setRight(textRect.right() - width - columnGap);
    }

    painter->setPen(ink);
    // drawText takes the string as characters; nothing here parses markup.
    const QString shown = metrics.elidedText(text, Qt::ElideRight, textRect.width());
    painter->drawText(textRect, Qt::AlignLeft | oneLine, shown);
    painter->restore();
}

QSize LogLineDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const {
    // Width is the view's business (it stretches rows to the viewport); a
    // fixed height keeps every row alike.
    return {1, rowHeight_};
}

}  // namespace vorn::app
