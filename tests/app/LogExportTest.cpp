#include "app/LogExport.h"

#include "monitor/LogLines.h"
#include "monitor/SessionLog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <string>
#include <vector>

namespace LogExport = vorn::app::LogExport;
using Lines = std::vector<std::string>;

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Symbols outside the BMP and curly quotes, as the monitor writes them.
const Lines showLog = {
    "🔁 OSC server restarted on port 8001",
    "→ Sent ping “/eos/ping” to 192.168.1.20:8000",
    "← Received “/eos/out/ping”",
};

}  // namespace

class LogExportTest : public QObject {
    Q_OBJECT

    QWidget parent_;

    QPointer<QFileDialog> beginExport(const Lines& snapshot, std::vector<LogExport::Outcome>& outcomes) {
        return qobject_cast<QFileDialog*>(
            LogExport::begin(&parent_, snapshot, QString::fromLatin1(LogExport::defaultLogName),
                             [&outcomes](const LogExport::Outcome& outcome) { outcomes.push_back(outcome); }));
    }

private Q_SLOTS:
    void writesUtf8LinesJoinedByLineFeedsReplacingTheFile() {
        const std::pair<Lines, QByteArray> cases[] = {
            {showLog, "\xF0\x9F\x94\x81 OSC server restarted on port 8001\n"
                      "\xE2\x86\x92 Sent ping \xE2\x80\x9C/eos/ping\xE2\x80\x9D to 192.168.1.20:8000\n"
                      "\xE2\x86\x90 Received \xE2\x80\x9C/eos/out/ping\xE2\x80\x9D"},
            {{"", "a", ""}, "\na\n"},
            {{}, ""},
        };
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("show.txt"));
        for (const auto& [lines, bytes] : cases) {
            QCOMPARE(LogExport::writeAtomically(path, LogExport::fileContent(lines)), std::nullopt);
            QCOMPARE(readAll(path), bytes);
        }
        // No temporary file stays behind beside it.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("show.txt")});
    }

    // A long show: memory holds the newest lines only, the export has all.
    void exportReadsTheLinesMemoryNoLongerHoldsBackFromTheSessionFile() {
        QTemporaryDir dir;
        vorn::monitor::LogLines log;
        log.recordTo(vorn::monitor::SessionLog::start(dir.filePath(QStringLiteral("state")).toStdString(), nullptr));
        log.setMemoryLimit(2);
        Lines all;
        for (int i = 0; i < 3000; ++i) {
            all.push_back(showLog[static_cast<std::size_t>(i) % showLog.size()] + " #" + std::to_string(i));
            log.append(all.back());
        }
        QCOMPARE(log.size(), std::size_t{2});
        const QString path = dir.filePath(QStringLiteral("show.txt"));
        QCOMPARE(LogExport::writeAtomically(path, log.snapshot()), std::nullopt);
        QCOMPARE(readAll(path), LogExport::fileContent(all));
    }

    void failedWriteNamesTheFileAndTheReason() {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("folder")));
        for (const auto& [where, reason] : {std::pair{"gone/log.txt", "No such file or directory"},
                                            std::pair{"folder", ""}}) {
            const QString path = dir.filePath(QString::fromLatin1(where));
            const std::optional<QString> error = LogExport::writeAtomically(path, LogExport::fileContent(showLog));
            QVERIFY(error.has_value());
            QVERIFY2(error->contains(QDir::toNativeSeparators(path)) && error->contains(QString::fromLatin1(reason)),
                     qPrintable(*error));
        }
        QVERIFY(QDir(dir.filePath(QStringLiteral("folder"))).isEmpty());
    }

    // Cancelled, the dialog writes nothing; accepted, it writes the lines as
    // they were when it opened, while the show goes on.
    void dialogIsNotModalAndWritesTheSnapshotTakenAtTheStart() {
        QTemporaryDir dir;
        std::vector<LogExport::Outcome> outcomes;
        QPointer<QFileDialog> cancelled = beginExport(showLog, outcomes);
        QVERIFY(cancelled);
        cancelled->setDirectory(dir.path());
        cancelled->selectFile(QStringLiteral("VornOSC2 Log.txt"));
        cancelled->reject();
        QVERIFY(outcomes.empty());
        QVERIFY(QDir(dir.path()).isEmpty());

        Lines log = showLog;
        QPointer<QFileDialog> dialog = beginExport(log, outcomes);
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->windowModality(), Qt::NonModal);
        QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QStringLiteral("VornOSC2 Log.txt"));
        log.push_back("→ Sent ping “/eos/ping” to 192.168.1.20:8000");
        dialog->setDirectory(dir.path());
        dialog->selectFile(QStringLiteral("Tuesday show"));  // the extension is added
        static_cast<QDialog*>(dialog.data())->accept();
        const QString expected = QDir(dir.path()).filePath(QStringLiteral("Tuesday show.txt"));
        QCOMPARE(outcomes.size(), std::size_t{1});
        QCOMPARE(outcomes[0].path, expected);
        QCOMPARE(outcomes[0].error, std::nullopt);
        QCOMPARE(readAll(expected), LogExport::fileContent(showLog));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(!dialog);
    }
};

QTEST_MAIN(LogExportTest)
#include "LogExportTest.moc"
