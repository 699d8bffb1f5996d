#pragma once

#include "monitor/LinkQuality.h"

#include <QString>

#include <functional>
#include <optional>

class QWidget;

namespace vorn::app {

// "Export report…": the link report as two CSV files beside each other, one
// row per ping and one row per outage.
namespace ReportExport {

inline constexpr const char* defaultName = "VornOSC2 Report";

// The two files for the name the user chose: "Show.csv" (or "Show") gives
// "Show pings.csv" and "Show outages.csv".
struct Paths {
    QString pings;
    QString outages;
};
Paths pathsFor(const QString& chosen);

// Writes both files, each atomically; the error's description names the
// file that could not be written.
std::optional<QString> write(const QString& chosen, const monitor::LinkReport& report);

// Opens a save dialog (not modal: the monitor goes on behind it) and, when
// the user accepts, writes `report` and calls `completion` with the name
// chosen and the error, if any. Returns the dialog.
QWidget* begin(QWidget* parent, monitor::LinkReport report,
               std::function<void(const QString& chosen, const std::optional<QString>& error)> completion);

}  // namespace ReportExport

}  // namespace vorn::app
