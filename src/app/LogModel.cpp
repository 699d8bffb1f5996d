#include "app/LogModel.h"

#include <QMetaObject>

#include <algorithm>
#include <limits>

namespace vorn::app {

LogModel::LogModel(monitor::LogLines& log, QObject* parent)
    : QAbstractListModel(parent), log_(log) {
    rows_ = static_cast<int>(std::min<std::size_t>(log_.size(), std::numeric_limits<int>::max()));
    // Told before the log stores the line, so the row is announced later,
    // once the line is there to read.
    subscription_ = log.subscribe([this](std::size_t, const std::string&) {
        if (!flushQueued_) {
            flushQueued_ = true;
            QMetaObject::invokeMethod(this, &LogModel::flush, Qt::QueuedConnection);
        }
    });
}

LogModel::~LogModel() {
    subscription_.cancel();
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rows_ || index.column() != 0) {
        return {};
    }
    // Display only: a tool tip would take "<b>" in a received address for
    // markup.
    if (role == Qt::DisplayRole) {
        return QString::fromStdString(log_[static_cast<std::size_t>(index.row())]);
    }
    return {};
}

void LogModel::flush() {
    flushQueued_ = false;
    // A model's rows are ints; a log past that many lines stops growing in
    // the view rather than wrapping.
    const int available = static_cast<int>(std::min<std::size_t>(log_.size(), std::numeric_limits<int>::max()));
    if (available <= rows_) {
        return;
    }
    beginInsertRows({}, rows_, available - 1);
    rows_ = available;
    endInsertRows();
}

}  // namespace vorn::app
