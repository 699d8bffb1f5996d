#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/LogLines.h"

#include <QAbstractListModel>

#include <cstdint>

namespace vorn::app {

// The monitor's log as a list model, one row per line, oldest first.
//
// Lines arrive one at a time and may come thousands a second; rows are
// announced in one batch on the next turn of the event loop, so a burst
// costs the view one insertion rather than one per line. Rows are converted
// to text only when a view asks for them. The log must outlive the model.
//
// The rows are the lines the log holds in memory: as the oldest leave it,
// their rows are removed from the top in the same batch.
//
// A row's display text is its line as it is; its tool tip is the line as
// escaped rich text, since a tool tip interprets markup.
class LogModel final : public QAbstractListModel {
    Q_OBJECT

public:
    // The most characters of a line its tool tip shows.
    static constexpr int toolTipLength = 2000;

    explicit LogModel(monitor::LogLines& log, QObject* parent = nullptr);
    ~LogModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;

    // Announces the lines that arrived since the last batch now rather than
    // on the next turn.
    void flush();

private:
    const monitor::LogLines& log_;
    int rows_ = 0;
    // The log's line shown in the first row.
    std::uint64_t first_ = 0;
    bool flushQueued_ = false;
    dispatch::Cancellable subscription_;
};

}  // namespace vorn::app
