#include "app/SettingsForm.h"

#include "app/Look.h"

#include <QFont>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace vorn::app::form {

namespace {

constexpr int headerIconSize = 16;

}  // namespace

QString toQString(const std::string& text) {
    return QString::fromStdString(text);
}

void showText(QLineEdit* field, const QString& text) {
    if (field->text() != text) {
        field->setText(text);
    }
}

QWidget* sectionHeader(const QString& iconName, const QString& text) {
    auto* header = new QWidget;
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 8, 0, 4);
    row->setSpacing(6);
    auto* icon = new QLabel;
    icon->setPixmap(look::symbolIcon(iconName, headerIconSize, look::symbolColour()).pixmap(headerIconSize, headerIconSize));
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    QFont bold = label->font();
    bold.setBold(true);
    label->setFont(bold);
    row->addWidget(icon);
    row->addWidget(label);
    row->addStretch(1);
    return header;
}

QGridLayout* sectionRows(QVBoxLayout* form) {
    auto* panel = new QFrame;
    panel->setFrameShape(QFrame::StyledPanel);
    auto* grid = new QGridLayout(panel);
    grid->setContentsMargins(10, 8, 10, 8);
    grid->setHorizontalSpacing(8);
    grid->setVerticalSpacing(6);
    grid->setColumnMinimumWidth(0, labelWidth);
    grid->setColumnStretch(1, 1);
    form->addWidget(panel);
    return grid;
}

void addRow(QGridLayout* grid, const QString& text, QWidget* control, Qt::Alignment controlAlignment) {
    const int row = grid->rowCount();
    if (!text.isEmpty()) {
        auto* label = new QLabel(text);
        label->setTextFormat(Qt::PlainText);
        label->setFixedWidth(labelWidth);
        label->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        label->setBuddy(control);
        grid->addWidget(label, row, 0);
    }
    grid->addWidget(control, row, 1, controlAlignment);
}

QLineEdit* textField() {
    auto* field = new QLineEdit;
    field->setAlignment(Qt::AlignLeading | Qt::AlignVCenter);
    field->setClearButtonEnabled(false);
    return field;
}

}  // namespace vorn::app::form
