#include "app/ReportExport.h"

#include "app/LogExport.h"

#include <QByteArray>
#include <QFileDialog>

#include <memory>
#include <string_view>

namespace vorn::app::ReportExport {

namespace {

QByteArray collect(const std::function<void(const std::function<void(std::string_view)>&)>& write) {
    QByteArray bytes;
    write([&bytes](std::string_view piece) { bytes.append(piece.data(), static_cast<qsizetype>(piece.size())); });
    return bytes;
}

}  // namespace

Paths pathsFor(const QString& chosen) {
    QString base = chosen;
    if (base.endsWith(QStringLiteral(".csv"), Qt::CaseInsensitive)) {
        base.chop(4);
    }
    return {base + QStringLiteral(" pings.csv"), base + QStringLiteral(" outages.csv")};
}

std::optional<QString> write(const QString& chosen, const monitor::LinkReport& report) {
    const Paths paths = pathsFor(chosen);
    const QByteArray pings = collect([&report](const auto& sink) { report.writePingsCsv(sink); });
    if (auto error = LogExport::writeAtomically(paths.pings, pings)) {
        return error;
    }
    return LogExport::writeAtomically(paths.outages,
                                      collect([&report](const auto& sink) { report.writeOutagesCsv(sink); }));
}

QWidget* begin(QWidget* parent, monitor::LinkReport report,
               std::function<void(const QString& chosen, const std::optional<QString>& error)> completion) {
    auto* dialog = new QFileDialog(parent, QStringLiteral("Export the link report"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QStringLiteral("CSV files (*.csv)"));
    dialog->setDefaultSuffix(QStringLiteral("csv"));
    dialog->selectFile(QString::fromLatin1(defaultName) + QStringLiteral(".csv"));
    auto kept = std::make_shared<monitor::LinkReport>(std::move(report));
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, kept, completion = std::move(completion)](int result) {
                         const QStringList chosen = dialog->selectedFiles();
                         if (result != QDialog::Accepted || chosen.isEmpty() || chosen.first().isEmpty()) {
                             return;
                         }
                         const auto error = write(chosen.first(), *kept);
                         if (completion) {
                             completion(chosen.first(), error);
                         }
                     });
    dialog->show();
    return dialog;
}

}  // namespace vorn::app::ReportExport
