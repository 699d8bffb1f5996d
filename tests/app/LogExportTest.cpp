#include "app/LogExport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

namespace LogExport = vorn::app::LogExport;

using Lines = std::vector<std::string>;
Q_DECLARE_METATYPE(Lines)

namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// A log as the monitor writes it: symbol prefixes outside the BMP and curly
// quotes around the addresses.
const Lines showLog = {
    "🔁 OSC server restarted on port 8001",
    "→ Sent ping “/eos/ping” to 192.168.1.20:8000",
    "← Received “/eos/out/ping”",
};

}  // namespace

class LogExportTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void writesTheLinesAsUtf8_data();
    void writesTheLinesAsUtf8();
    void replacesAnExistingFile();
    void failedWriteLeavesTheTargetAlone_data();
    void failedWriteLeavesTheTargetAlone();

    void dialogOpensWithoutBlocking();
    void acceptingWritesTheSnapshotTakenAtTheStart();
    void cancellingWritesNothing();
    void errorMessageIsModalPlainText();

private:
    QFileDialog* beginExport(const Lines& snapshot, std::vector<LogExport::Outcome>& outcomes);

    QWidget parent_;
};

void LogExportTest::writesTheLinesAsUtf8_data() {
    QTest::addColumn<Lines>("lines");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("empty log") << Lines{} << QByteArray();
    QTest::newRow("one line") << Lines{"🔄 State changed to ALIVE"}
                              << QByteArray("\xF0\x9F\x94\x84 State changed to ALIVE");
    QTest::newRow("emoji and curly quotes")
        << showLog
        << QByteArray("\xF0\x9F\x94\x81 OSC server restarted on port 8001\n"
                      "\xE2\x86\x92 Sent ping \xE2\x80\x9C/eos/ping\xE2\x80\x9D to 192.168.1.20:8000\n"
                      "\xE2\x86\x90 Received \xE2\x80\x9C/eos/out/ping\xE2\x80\x9D");
    QTest::newRow("empty lines kept") << Lines{"", "a", ""} << QByteArray("\na\n");
}

void LogExportTest::writesTheLinesAsUtf8() {
    QFETCH(Lines, lines);
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("VornOSC2 Log.txt"));

    QCOMPARE(LogExport::writeAtomically(path, LogExport::fileContent(lines)), std::nullopt);
    QCOMPARE(readAll(path), bytes);
}

void LogExportTest::replacesAnExistingFile() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("show.txt"));
    QFile old(path);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(4096, 'x'));
    old.close();

    QCOMPARE(LogExport::writeAtomically(path, LogExport::fileContent({"short"})), std::nullopt);
    QCOMPARE(readAll(path), QByteArray("short"));
    // No temporary file stays behind beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("show.txt")});
}

void LogExportTest::failedWriteLeavesTheTargetAlone_data() {
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("reason");
    QTest::newRow("folder does not exist") << QStringLiteral("gone/log.txt")
                                           << QStringLiteral("No such file or directory");
    QTest::newRow("target is a folder") << QStringLiteral("folder") << QString();
    QTest::newRow("folder not writable") << QStringLiteral("locked/log.txt") << QStringLiteral("Permission denied");
}

void LogExportTest::failedWriteLeavesTheTargetAlone() {
    QFETCH(QString, where);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    QDir root(dir.path());
    QVERIFY(root.mkdir(QStringLiteral("folder")));
    QFile kept(root.filePath(QStringLiteral("folder/kept.txt")));
    QVERIFY(kept.open(QIODevice::WriteOnly));
    kept.close();
    QVERIFY(root.mkdir(QStringLiteral("locked")));
    const QString locked = root.filePath(QStringLiteral("locked"));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    // So that the temporary folder can be removed again.
    const auto unlock = qScopeGuard([&locked] { QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner); });
    if (where.startsWith(QStringLiteral("locked")) && geteuid() == 0) QSKIP("root writes into read-only folders");
    const QString path = root.filePath(where);

    const std::optional<QString> error = LogExport::writeAtomically(path, LogExport::fileContent(showLog));

    QVERIFY(error.has_value());
    // The message names the file the user chose and the system's reason.
    QVERIFY2(error->contains(QDir::toNativeSeparators(path)), qPrintable(*error));
    QVERIFY2(reason.isEmpty() || error->contains(reason), qPrintable(*error));
    QCOMPARE(QDir(root.filePath(QStringLiteral("folder"))).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("kept.txt")});
    QVERIFY(QDir(root.filePath(QStringLiteral("locked"))).isEmpty());
    QVERIFY(!QFileInfo::exists(root.filePath(QStringLiteral("gone"))));
}

QFileDialog* LogExportTest::beginExport(const Lines& snapshot, std::vector<LogExport::Outcome>& outcomes) {
    QWidget* widget = LogExport::begin(&parent_, snapshot, QString::fromLatin1(LogExport::defaultLogName),
                                       [&outcomes](const LogExport::Outcome& outcome) { outcomes.push_back(outcome); });
    return qobject_cast<QFileDialog*>(widget);
}

void LogExportTest::dialogOpensWithoutBlocking() {
    std::vector<LogExport::Outcome> outcomes;
    QPointer<QFileDialog> dialog = beginExport(showLog, outcomes);

    QVERIFY(dialog);
    QVERIFY(dialog->isVisible());
    QVERIFY(!dialog->isModal());
    QCOMPARE(dialog->windowModality(), Qt::NonModal);
    QCOMPARE(dialog->parentWidget(), &parent_);
    QCOMPARE(dialog->acceptMode(), QFileDialog::AcceptSave);
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("Text files (*.txt)")});
    QCOMPARE(dialog->defaultSuffix(), QStringLiteral("txt"));
    QVERIFY(!dialog->testOption(QFileDialog::DontConfirmOverwrite));
    QVERIFY(!dialog->testOption(QFileDialog::ReadOnly));
    QCOMPARE(QFileInfo(dialog->selectedFiles().value(0)).fileName(), QStringLiteral("VornOSC2 Log.txt"));
    QVERIFY(outcomes.empty());

    dialog->reject();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!dialog);
}

void LogExportTest::acceptingWritesTheSnapshotTakenAtTheStart() {
    QTemporaryDir dir;
    Lines log = showLog;
    std::vector<LogExport::Outcome> outcomes;
    QPointer<QFileDialog> dialog = beginExport(log, outcomes);
    QVERIFY(dialog);

    // The show goes on while the user picks a place.
    log.push_back("→ Sent ping “/eos/ping” to 192.168.1.20:8000");
    dialog->setDirectory(dir.path());
    // Without an extension the default one is added.
    dialog->selectFile(QStringLiteral("Tuesday show"));
    static_cast<QDialog*>(dialog.data())->accept();

    const QString expected = QDir(dir.path()).filePath(QStringLiteral("Tuesday show.txt"));
    QCOMPARE(outcomes.size(), std::size_t{1});
    QCOMPARE(outcomes[0].path, expected);
    QCOMPARE(outcomes[0].error, std::nullopt);
    QCOMPARE(readAll(expected), LogExport::fileContent(showLog));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!dialog);
}

void LogExportTest::cancellingWritesNothing() {
    QTemporaryDir dir;
    std::vector<LogExport::Outcome> outcomes;
    QPointer<QFileDialog> dialog = beginExport(showLog, outcomes);
    QVERIFY(dialog);
    dialog->setDirectory(dir.path());
    dialog->selectFile(QStringLiteral("VornOSC2 Log.txt"));
    dialog->reject();

    QVERIFY(outcomes.empty());
    QVERIFY(QDir(dir.path()).isEmpty());
}

void LogExportTest::errorMessageIsModalPlainText() {
    const QString description = QStringLiteral("Could not save “/media/<b>usb</b>/log.txt”: No space left on device");
    bool seen = false;
    QTimer::singleShot(0, this, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box != nullptr) {
            seen = box->icon() == QMessageBox::Critical && box->text() == description &&
                   box->textFormat() == Qt::PlainText;
            box->accept();
        }
    });
    LogExport::showError(&parent_, description);
    QVERIFY(seen);
}

QTEST_MAIN(LogExportTest)
#include "LogExportTest.moc"
