#include "app/LogModel.h"

#include <QMetaObject>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace vorn::app {

LogModel::LogModel(monitor::LogLines& log, QObject* parent, SenderOfLine senderOfLine)
    : QAbstractListModel(parent), log_(log), senderOfLine_(std::move(senderOfLine)) {
    rows_ = static_cast<int>(std::min<std::size_t>(log_.size(), std::numeric_limits<int>::max()));
    first_ = log_.firstIndex();
    // Told before the log stores the line, so the row is announced later,
    // once the line is there to read.
    subscription_ = log.subscribe([this](std::size_t index, const std::string&) {
        note(index);
        queueFlush();
    });
}

void LogModel::queueFlush() {
    if (flushQueued_) {
        return;
    }
    flushQueued_ = true;
    const qint64 since = sinceBatch_.isValid() ? sinceBatch_.elapsed() : batchInterval;
    if (since >= batchInterval) {
        QMetaObject::invokeMethod(this, &LogModel::flush, Qt::QueuedConnection);
    } else {
        QTimer::singleShot(static_cast<int>(batchInterval - since), this, &LogModel::flush);
    }
}

LogModel::~LogModel() {
    subscription_.cancel();
}

void LogModel::note(std::size_t index) {
    if (beside_.empty() || index != besideFirst_ + beside_.size()) {
        beside_.clear();
        besideFirst_ = index;
    }
    // A show hears a handful of senders: each row shares its sender's text
    // with the row before it when they are the same, rather than a copy each.
    const std::string sender = senderOfLine_ ? senderOfLine_() : std::string();
    if (sender != lastSender_) {
        lastSender_ = sender;
        lastSenderText_ = QString::fromStdString(sender);
    }
    beside_.push_back({clock_ ? clock_().toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch(), lastSenderText_});
    // The line itself joins memory after this call; keep room for it alone
    // when the log keeps none, so a monitor with a zero limit stays bounded.
    const std::size_t keep = std::max<std::size_t>(log_.memoryLimit(), 1);
    while (beside_.size() > keep || (besideFirst_ < log_.firstIndex() && beside_.size() > 1)) {
        beside_.pop_front();
        ++besideFirst_;
    }
}

const LogModel::Beside* LogModel::beside(std::uint64_t line) const {
    if (line < besideFirst_ || line - besideFirst_ >= beside_.size()) {
        return nullptr;
    }
    return &beside_[static_cast<std::size_t>(line - besideFirst_)];
}

int LogModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows_;
}

QVariant LogModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= rows_ || index.column() != 0) {
        return {};
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole && role != TimeRole && role != SenderRole) {
        return {};
    }
    // Until the next batch, a row may name a line that has just left memory.
    const std::uint64_t line = first_ + static_cast<std::uint64_t>(index.row());
    if (line < log_.firstIndex() || line >= log_.count()) {
        return {};
    }
    if (role == TimeRole || role == SenderRole) {
        const Beside* extra = beside(line);
        if (extra == nullptr) {
            return {};
        }
        if (role == SenderRole) {
            return extra->sender;
        }
        const qint64 second = extra->loggedAt / 1000 - (extra->loggedAt % 1000 < 0 ? 1 : 0);
        if (second != shownSecond_ || shownTime_.isEmpty()) {
            shownSecond_ = second;
            shownTime_ = QDateTime::fromMSecsSinceEpoch(second * 1000).toString(QStringLiteral("HH:mm:ss"));
        }
        return shownTime_;
    }
    QString text = QString::fromStdString(log_[static_cast<std::size_t>(line - log_.firstIndex())]);
    if (role == Qt::DisplayRole) {
        return text;
    }
    // A tool tip reads markup: escaped, "<b>" in a received address shows as
    // those three characters. Cut at a length a screen can show; the whole
    // line is what Copy takes.
    if (text.size() > toolTipLength) {
        text.truncate(toolTipLength);
        text += QChar(0x2026);
    }
    return Qt::convertFromPlainText(text, Qt::WhiteSpaceNormal);
}

void LogModel::flush() {
    flushQueued_ = false;
    sinceBatch_.start();
    const std::uint64_t gone = std::min<std::uint64_t>(log_.firstIndex() - first_, static_cast<std::uint64_t>(rows_));
    if (gone > 0) {
        beginRemoveRows({}, 0, static_cast<int>(gone) - 1);
        rows_ -= static_cast<int>(gone);
        first_ += gone;
        endRemoveRows();
    }
    first_ = log_.firstIndex();
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
