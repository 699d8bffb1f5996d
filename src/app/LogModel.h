#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/LogLines.h"

#include <QAbstractListModel>
#include <QDateTime>
#include <QElapsedTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace vorn::app {

// The monitor's log as a list model, one row per line, oldest first.
//
// Lines arrive one at a time and may come thousands a second; rows are
// announced in one batch on the next turn of the event loop, so a burst
// costs the view one insertion rather than one per line, and no sooner than
// `batchInterval` after the batch before, so that a steady stream redraws
// the view at most that often rather than at every turn. Rows are converted
// to text only when a view asks for them. The log must outlive the model.
//
// The rows are the lines the log holds in memory: as the oldest leave it,
// their rows are removed from the top in the same batch.
//
// A row's display text is its line as it is; its tool tip is the line as
// escaped rich text, since a tool tip interprets markup.
//
// Beside the line a row holds what the view shows next to it but the line
// never contains, so that copies and exports stay the exact log: the local
// time it was logged (TimeRole) and, for a received message, the sender's
// address and port (SenderRole). Lines logged before the model existed
// have neither.
class LogModel final : public QAbstractListModel {
    Q_OBJECT

public:
    // The most characters of a line its tool tip shows.
    static constexpr int toolTipLength = 2000;
    // About two frames of a 60 Hz screen.
    static constexpr int batchInterval = 30;

    enum Role { TimeRole = Qt::UserRole + 1, SenderRole };

    // Asked, as each line is appended, who sent it ("" when nobody did).
    using SenderOfLine = std::function<std::string()>;
    using Clock = std::function<QDateTime()>;

    explicit LogModel(monitor::LogLines& log, QObject* parent = nullptr, SenderOfLine senderOfLine = {});
    ~LogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Announces the lines that arrived since the last batch now rather than
    // on the next turn.
    void flush();

    // Where lines take their time from; the system clock unless replaced.
    void setClock(Clock clock) { clock_ = std::move(clock); }

private:
    struct Beside {
        qint64 loggedAt;  // ms since the epoch
        QString sender;
    };

    void note(std::size_t index);
    void queueFlush();
    const Beside* beside(std::uint64_t line) const;

    const monitor::LogLines& log_;
    int rows_ = 0;
    // The log's line shown in the first row.
    std::uint64_t first_ = 0;
    bool flushQueued_ = false;
    // Since the last batch that announced rows.
    QElapsedTimer sinceBatch_;
    SenderOfLine senderOfLine_;
    Clock clock_;
    // The time text of one second, for the rows logged in it: the local
    // time costs a look at the time zone.
    mutable qint64 shownSecond_ = -1;
    mutable QString shownTime_;
    // What goes beside the lines numbered besideFirst_ onwards; no more
    // entries than the log keeps lines in memory.
    std::deque<Beside> beside_;
    std::uint64_t besideFirst_ = 0;
    std::string lastSender_;
    QString lastSenderText_;
    dispatch::Cancellable subscription_;
};

}  // namespace vorn::app
