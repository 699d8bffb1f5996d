#include "app/LogView.h"

#include <QAbstractItemDelegate>
#include <QAbstractItemModel>
#include <QPaintEvent>
#include <QPainter>
#include <QScrollBar>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <limits>

namespace vorn::app {

LogView::LogView(QWidget* parent) : QAbstractScrollArea(parent) {
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(rowHeight_);
}

void LogView::setModel(QAbstractItemModel* model) {
    if (model_ != nullptr) {
        disconnect(model_, nullptr, this, nullptr);
    }
    model_ = model;
    if (model_ != nullptr) {
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
    for (int row = first; row < count; ++row) {
        const QModelIndex index = model_->index(row, 0);
        option.rect = visualRect(index);
        if (option.rect.top() > area.bottom()) {
            break;
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

}  // namespace vorn::app
