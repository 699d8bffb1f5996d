#pragma once

#include "monitor/LogLines.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>
#include <string>
#include <vector>

class QWidget;

namespace vorn::app {

// Writing the monitor's log to a text file the user picks.
namespace LogExport {

// The name the main window suggests, without its extension.
inline constexpr const char* defaultLogName = "VornOSC2 Log";
inline constexpr const char* nameFilter = "Text files (*.txt)";
inline constexpr const char* suffix = "txt";

// The file's bytes: the lines joined by one line feed, no final line feed,
// UTF-8 without a byte-order mark. An empty log gives an empty file.
QByteArray fileContent(const std::vector<std::string>& lines);

// Writes `content` to `path` atomically: the file is either the old one or
// the whole new one. Returns the error's description on failure, naming the
// file and the system's reason.
std::optional<QString> writeAtomically(const QString& path, const QByteArray& content);

// Writes the whole log of `snapshot` to `path` atomically, in the format of
// fileContent(), reading the oldest lines back from the session file a piece
// at a time rather than holding the whole show in memory.
std::optional<QString> writeAtomically(const QString& path, const monitor::LogSnapshot& snapshot);

// Called with the written file's path, or with the error's description.
struct Outcome {
    QString path;
    std::optional<QString> error;
};

// Opens a save dialog for "*.txt" pre-filled with `defaultName` + ".txt" and
// returns at once; the dialog is not modal, so the log goes on scrolling
// behind it. When the user accepts, writes the snapshot and calls
// `completion`; on cancel nothing happens and `completion` is not called.
// Returns the dialog (owned by `parent`, deleted when closed).
QWidget* begin(QWidget* parent, monitor::LogSnapshot snapshot, const QString& defaultName,
               std::function<void(const Outcome&)> completion);
QWidget* begin(QWidget* parent, std::vector<std::string> snapshot, const QString& defaultName,
               std::function<void(const Outcome&)> completion);

// The modal error message the main window shows for a failed export.
void showError(QWidget* parent, const QString& description);

}  // namespace LogExport

}  // namespace vorn::app
