#include "app/LogView.h"

#include <QAction>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QKeySequence>
#include <QMenu>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionViewItem>
#include <QToolTip>

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

namespace vorn::app {

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(rowHeight_);

    // Shortcuts while the log has the focus; the context menu offers both.
    copyAction_ = new QAction(tr("Copy"), this);
    copyAction_->setShortcut(QKeySequence::Copy);
    copyAction_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    copyAction_->setEnabled(false);
    connect(copyAction_, &QAction::triggered, this, &LogView::copySelection);
    selectAllAction_ = new QAction(tr("Select All"), this);
    selectAllAction_->setShortcut(QKeySequence::SelectAll);
    selectAllAction_->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    connect(selectAllAction_, &QAction::triggered, this, &LogView::selectAll);
    addAction(copyAction_);
    addAction(selectAllAction_);
}

void LogView::setModel(QAbstractItemModel* model) {
    if (model_ != nullptr) {
        disconnect(model_, nullptr, this, nullptr);
    }
    model_ = model;
    delete selection_;
    selection_ = nullptr;
    anchor_ = QPersistentModelIndex();
    copyAction_->setEnabled(false);
    if (model_ != nullptr) {
        // Held as ranges of rows, which move with the rows when the oldest
        // lines leave the top: a selection of the whole log costs no more
        // than one of a single line.
        selection_ = new QItemSelectionModel(model_, this);
        connect(selection_, &QItemSelectionModel::selectionChanged, this, [this] {
            copyAction_->setEnabled(selection_->hasSelection());
            viewport()->update();
        });
        // The log grows and nothing else: each growth brings the newest row
        // into sight at the bottom.
        connect(model_, &QAbstractItemModel::rowsInserted, this, [this] {
            rowsChanged();
            scrollToBottom();
        });
        connect(model_, &QAbstractItemModel::rowsRemoved, this, &LogView::rowsChanged);
        connect(model_, &QAbstractItemModel::modelReset, this, &LogView::rowsChanged);
        connect(model_, &QAbstractItemModel::layoutChanged, this, &LogView::rowsChanged);
        connect(model_, &QAbstractItemModel::dataChanged, viewport(), qOverload<>(&QWidget::update));
    }
    measureRows();
    rowsChanged();
}

void LogView::setItemDelegate(QAbstractItemDelegate* delegate) {
    delegate_ = delegate;
    measureRows();
    rowsChanged();
}

void LogView::measureRows() {
    if (delegate_ == nullptr) {
        return;
    }
    QStyleOptionViewItem option;
    option.initFrom(this);
    const QModelIndex first = model_ != nullptr && model_->rowCount() > 0 ? model_->index(0, 0) : QModelIndex();
    rowHeight_ = std::max(1, delegate_->sizeHint(option, first).height());
    verticalScrollBar()->setSingleStep(rowHeight_);
}

int LogView::rowCount() const {
    return model_ != nullptr ? model_->rowCount() : 0;
}

int LogView::rowTop(int row) const {
    return verticalPadding + row * (rowHeight_ + rowSpacing) - verticalScrollBar()->value();
}

void LogView::rowsChanged() {
    // In pixels, kept within an int: past about a hundred million rows the
    // oldest ones can no longer be scrolled to, the newest always can.
    const long long content = 2LL * verticalPadding + static_cast<long long>(rowCount()) * (rowHeight_ + rowSpacing);
    const long long range = std::max(0LL, content - viewport()->height());
    verticalScrollBar()->setPageStep(viewport()->height());
    verticalScrollBar()->setRange(0, static_cast<int>(std::min<long long>(range, std::numeric_limits<int>::max())));
    viewport()->update();
}

QRect LogView::visualRect(const QModelIndex& index) const {
    if (!index.isValid() || index.model() != model_) {
        return {};
    }
    return {horizontalPadding, rowTop(index.row()), std::max(0, viewport()->width() - 2 * horizontalPadding),
            rowHeight_};
}

QModelIndex LogView::indexAt(const QPoint& point) const {
    const long long y = static_cast<long long>(point.y()) - verticalPadding + verticalScrollBar()->value();
    if (model_ == nullptr || y < 0 || point.x() < horizontalPadding ||
        point.x() >= viewport()->width() - horizontalPadding) {
        return {};
    }
    const long long row = y / (rowHeight_ + rowSpacing);
    if (row >= rowCount() || y % (rowHeight_ + rowSpacing) >= rowHeight_) {
        return {};
    }
    return model_->index(static_cast<int>(row), 0);
}

int LogView::rowNear(int y) const {
    const long long content = static_cast<long long>(y) - verticalPadding + verticalScrollBar()->value();
    return static_cast<int>(std::clamp<long long>(content / (rowHeight_ + rowSpacing), 0, std::max(0, rowCount() - 1)));
}

void LogView::selectFromAnchorTo(int row) {
    if (selection_ == nullptr || row < 0 || row >= rowCount()) {
        return;
    }
    const int from = anchor_.isValid() ? anchor_.row() : row;
    const QItemSelection range(model_->index(std::min(from, row), 0), model_->index(std::max(from, row), 0));
    selection_->select(range, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

QString LogView::selectedText() const {
    if (selection_ == nullptr || model_ == nullptr) {
        return {};
    }
    // Ranges in row order, overlaps merged, so each line is copied once and
    // in the order it was logged.
    std::vector<std::pair<int, int>> spans;
    for (const QItemSelectionRange& range : selection_->selection()) {
        spans.emplace_back(range.top(), range.bottom());
    }
    std::sort(spans.begin(), spans.end());
    QString text;
    int next = 0;
    bool first = true;
    for (const auto& [top, bottom] : spans) {
        for (int row = std::max(top, next); row <= bottom; ++row) {
            if (!first) {
                text += QLatin1Char('\n');
            }
            first = false;
            text += model_->index(row, 0).data(Qt::DisplayRole).toString();
        }
        next = std::max(next, bottom + 1);
    }
    return text;
}

void LogView::copySelection() const {
    if (selection_ != nullptr && selection_->hasSelection()) {
        QGuiApplication::clipboard()->setText(selectedText());
    }
}

void LogView::selectAll() {
    if (selection_ == nullptr || rowCount() == 0) {
        return;
    }
    anchor_ = model_->index(0, 0);
    selectFromAnchorTo(rowCount() - 1);
}

void LogView::scrollToBottom() {
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void LogView::paintEvent(QPaintEvent* event) {
    if (model_ == nullptr || delegate_ == nullptr) {
        return;
    }
    QPainter painter(viewport());
    const int pitch = rowHeight_ + rowSpacing;
    const int count = rowCount();
    const QRect area = event->rect();
    const long long scrolled = verticalScrollBar()->value();
    const int first = static_cast<int>(std::clamp<long long>((scrolled + area.top() - verticalPadding) / pitch, 0, count));
    QStyleOptionViewItem option;
    option.initFrom(viewport());
    const QStyle::State plain = option.state & ~QStyle::State_Selected;
    for (int row = first; row < count; ++row) {
        const QModelIndex index = model_->index(row, 0);
        option.rect = visualRect(index);
        if (option.rect.top() > area.bottom()) {
            break;
        }
        option.state = plain;
        if (selection_ != nullptr && selection_->isRowSelected(row, QModelIndex())) {
            option.state |= QStyle::State_Selected;
        }
        delegate_->paint(&painter, option, index);
    }
}

void LogView::resizeEvent(QResizeEvent* event) {
    const bool atBottom = verticalScrollBar()->value() == verticalScrollBar()->maximum();
    QAbstractScrollArea::resizeEvent(event);
    rowsChanged();
    if (atBottom) {
        scrollToBottom();
    }
}

void LogView::scrollContentsBy(int, int) {
    viewport()->update();
}

bool LogView::viewportEvent(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        const auto* help = static_cast<QHelpEvent*>(event);
        const QModelIndex index = indexAt(help->pos());
        const QString tip = index.isValid() ? index.data(Qt::ToolTipRole).toString() : QString();
        if (tip.isEmpty()) {
            QToolTip::hideText();
        } else {
            QToolTip::showText(help->globalPos(), tip, viewport(), visualRect(index));
        }
        return true;
    }
    return QAbstractScrollArea::viewportEvent(event);
}

void LogView::mousePressEvent(QMouseEvent* event) {
    if (selection_ == nullptr || (event->button() != Qt::LeftButton && event->button() != Qt::RightButton)) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    const int y = event->position().toPoint().y();
    const long long content = static_cast<long long>(y) - verticalPadding + verticalScrollBar()->value();
    const bool onRow = content >= 0 && content / (rowHeight_ + rowSpacing) < rowCount();
    const QModelIndex index = onRow ? model_->index(rowNear(y), 0) : QModelIndex();
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    if (event->button() == Qt::RightButton) {
        // The menu copies what is selected; a right click elsewhere first
        // selects the row it is on, as lists do.
        if (index.isValid() && !selection_->isRowSelected(index.row(), QModelIndex())) {
            anchor_ = index;
            selectFromAnchorTo(index.row());
        }
        return;
    }
    if (!index.isValid()) {
        if ((modifiers & (Qt::ShiftModifier | Qt::ControlModifier)) == 0) {
            selection_->clearSelection();
            anchor_ = QPersistentModelIndex();
        }
        return;
    }
    if ((modifiers & Qt::ShiftModifier) != 0 && anchor_.isValid()) {
        selectFromAnchorTo(index.row());
    } else if ((modifiers & Qt::ControlModifier) != 0) {
        selection_->select(index, QItemSelectionModel::Toggle | QItemSelectionModel::Rows);
        anchor_ = index;
    } else {
        anchor_ = index;
        selectFromAnchorTo(index.row());
    }
}

void LogView::mouseMoveEvent(QMouseEvent* event) {
    if (selection_ != nullptr && (event->buttons() & Qt::LeftButton) != 0 && anchor_.isValid() && rowCount() > 0) {
        selectFromAnchorTo(rowNear(event->position().toPoint().y()));
        return;
    }
    QAbstractScrollArea::mouseMoveEvent(event);
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    menu.addAction(copyAction_);
    menu.addAction(selectAllAction_);
    if (extendMenu_) {
        menu.addSeparator();
        extendMenu_(menu);
    }
    menu.exec(event->globalPos());
}

}  // namespace vorn::app
