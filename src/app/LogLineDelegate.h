#pragma once

#include <QStyledItemDelegate>

namespace vorn::app {

// Paints one log line: white monospaced text on a faint rounded plate, or on
// the palette's highlight when the row is selected, with the time it was
// logged on its left and, for a received message, the sender on its right.
// The text is drawn as it is, never interpreted as markup, and every row has
// the same height so the list can place a million rows without measuring
// them.
class LogLineDelegate final : public QStyledItemDelegate {
    Q_OBJECT

public:
    explicit LogLineDelegate(QObject* parent = nullptr);

    // The font of every line.
    static QFont lineFont();

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QFont font_;
    int rowHeight_;
};

}  // namespace vorn::app
