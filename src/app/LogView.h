#pragma once

#include <QAbstractScrollArea>
#include <QModelIndex>
#include <QPointer>

class QAbstractItemDelegate;
class QAbstractItemModel;

namespace vorn::app {

// A list of rows that are all one height, for a log that grows by thousands
// of lines a second for hours.
//
// It keeps nothing per row: where a row sits follows from its number, so
// adding rows to a list of millions costs the same as adding them to an
// empty one, and a paint touches only the rows in sight. The delegate paints
// each row; its size hint for the first row gives the height of all.
class LogView final : public QAbstractScrollArea {
    Q_OBJECT

public:
    static constexpr int horizontalPadding = 8;
    static constexpr int verticalPadding = 4;
    static constexpr int rowSpacing = 1;

    explicit LogView(QWidget* parent = nullptr);

    void setModel(QAbstractItemModel* model);
    QAbstractItemModel* model() const { return model_; }

    // The view takes no ownership.
    void setItemDelegate(QAbstractItemDelegate* delegate);
    QAbstractItemDelegate* itemDelegate() const { return delegate_; }

    int rowHeight() const noexcept { return rowHeight_; }

    // Where `index` is drawn, in viewport coordinates.
    QRect visualRect(const QModelIndex& index) const;

    // The row under `point` (viewport coordinates); invalid between rows
    // and past the last one.
    QModelIndex indexAt(const QPoint& point) const;

    void scrollToBottom();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;

private:
    void rowsChanged();
    void measureRows();
    int rowCount() const;
    int rowTop(int row) const;

    QPointer<QAbstractItemModel> model_;
    QPointer<QAbstractItemDelegate> delegate_;
    int rowHeight_ = 16;
};

}  // namespace vorn::app
