#pragma once

#include <QAbstractItemDelegate>
#include <QAbstractItemModel>
#include <QAbstractScrollArea>
#include <QModelIndex>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QString>

#include <functional>

class QMenu;

class QAction;
class QItemSelectionModel;

namespace vorn::app {

// A list of rows that are all one height, for a log that grows by thousands
// of lines a second for hours.
//
// It keeps nothing per row: where a row sits follows from its number, so
// adding rows to a list of millions costs the same as adding them to an
// empty one, and a paint touches only the rows in sight. The delegate paints
// each row; its size hint for the first row gives the height of all.
//
// Rows can be selected (click, Shift-click, Ctrl-click, drag, Ctrl+A) and
// copied (Ctrl+C or the context menu) as their exact text, one line each, for
// a show report; a row's tool tip is its whole line, since a long one is
// cut short on screen.
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

    // Null until a model is set; replaced with the model.
    QItemSelectionModel* selectionModel() const noexcept { return selection_; }

    // The text of the selected rows, top to bottom, joined by line feeds.
    QString selectedText() const;
    // Puts selectedText() on the clipboard, when anything is selected.
    void copySelection() const;
    void selectAll();

    QAction* copyAction() const noexcept { return copyAction_; }

    // Adds the window's own entries below Copy and Select All in the
    // context menu.
    void setMenuExtension(std::function<void(QMenu&)> extend) { extendMenu_ = std::move(extend); }

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
    bool viewportEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void rowsChanged();
    void measureRows();
    int rowCount() const;
    int rowTop(int row) const;
    // The row nearest to viewport height `y`, clamped to the rows there are.
    int rowNear(int y) const;
    void selectFromAnchorTo(int row);

    QPointer<QAbstractItemModel> model_;
    QPointer<QAbstractItemDelegate> delegate_;
    QItemSelectionModel* selection_ = nullptr;
    QPersistentModelIndex anchor_;
    QAction* copyAction_ = nullptr;
    QAction* selectAllAction_ = nullptr;
    int rowHeight_ = 16;
    std::function<void(QMenu&)> extendMenu_;
};

}  // namespace vorn::app
