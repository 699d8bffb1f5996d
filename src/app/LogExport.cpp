#include "app/LogExport.h"

#include <QDir>
#include <QFileDialog>
#include <QMessageBox>
#include <QSaveFile>
#include <QStringList>

#include <string_view>
#include <memory>
#include <utility>

namespace vorn::app::LogExport {

QByteArray fileContent(const std::vector<std::string>& lines) {
    qsizetype size = 0;
    for (const auto& line : lines) {
        size += static_cast<qsizetype>(line.size()) + 1;
    }
    QByteArray content;
    content.reserve(size);
    bool first = true;
    for (const auto& line : lines) {
        if (!first) {
            content.append('\n');
        }
        first = false;
        // The log's lines are UTF-8 already; the bytes go out unchanged.
        content.append(line.data(), static_cast<qsizetype>(line.size()));
    }
    return content;
}

namespace {

// Writes what `produce` hands over to `path` atomically: the file is either
// the old one or the whole new one.
std::optional<QString> writeAtomically(const QString& path,
                                       const std::function<void(const std::function<void(std::string_view)>&)>& produce) {
    const auto failure = [&path](const QString& reason) {
        return QStringLiteral("Could not save “%1”: %2").arg(QDir::toNativeSeparators(path), reason);
    };

    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return failure(file.errorString());
    }
    bool written = true;
    produce([&](std::string_view piece) {
        if (written && !piece.empty()) {
            written = file.write(piece.data(), static_cast<qint64>(piece.size())) == static_cast<qint64>(piece.size());
        }
    });
    if (!written) {
        QString reason = file.errorString();
        file.cancelWriting();
        return failure(reason);
    }
    // Only commit() replaces the target, so every failure up to here leaves
    // the old file as it was.
    if (!file.commit()) {
        return failure(file.errorString());
    }
    return std::nullopt;
}

}  // namespace

std::optional<QString> writeAtomically(const QString& path, const QByteArray& content) {
    return writeAtomically(path, [&content](const std::function<void(std::string_view)>& sink) {
        sink(std::string_view(content.constData(), static_cast<std::size_t>(content.size())));
    });
}

std::optional<QString> writeAtomically(const QString& path, const monitor::LogSnapshot& snapshot) {
    return writeAtomically(path, [&snapshot](const std::function<void(std::string_view)>& sink) { snapshot.write(sink); });
}

QWidget* begin(QWidget* parent, std::vector<std::string> snapshot, const QString& defaultName,
               std::function<void(const Outcome&)> completion) {
    monitor::LogSnapshot whole;
    whole.inMemory = std::move(snapshot);
    return begin(parent, std::move(whole), defaultName, std::move(completion));
}

QWidget* begin(QWidget* parent, monitor::LogSnapshot snapshot, const QString& defaultName,
               std::function<void(const Outcome&)> completion) {
    auto* dialog = new QFileDialog(parent, QStringLiteral("Save the OSC log"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::NonModal);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(QString::fromLatin1(nameFilter));
    dialog->setDefaultSuffix(QString::fromLatin1(suffix));
    dialog->selectFile(defaultName + QLatin1Char('.') + QString::fromLatin1(suffix));

    // Written once the dialog has closed, so an error message never stacks on
    // top of a dialog that is still on screen.
    auto lines = std::make_shared<monitor::LogSnapshot>(std::move(snapshot));
    QObject::connect(dialog, &QDialog::finished, dialog,
                     [dialog, lines, completion = std::move(completion)](int result) {
                         const QStringList chosen = dialog->selectedFiles();
                         if (result != QDialog::Accepted || chosen.isEmpty() || chosen.first().isEmpty()) {
                             return;
                         }
                         const QString path = chosen.first();
                         Outcome outcome{path, writeAtomically(path, *lines)};
                         if (completion) {
                             completion(outcome);
                         }
                     });
    dialog->show();
    return dialog;
}

void showError(QWidget* parent, const QString& description) {
    // QMessageBox::critical() would guess rich text from a "<" in the path.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Vorn OSC 2"), description, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace vorn::app::LogExport
