#pragma once

#include <QString>
#include <qnamespace.h>

#include <string>

class QGridLayout;
class QLineEdit;
class QVBoxLayout;
class QWidget;

namespace vorn::app::form {

// The pieces every section of the settings window is made of.

inline constexpr int labelWidth = 130;

QString toQString(const std::string& text);

// Replaces the field's text only when it differs, so that a field echoing
// the user's own edit keeps its cursor and selection.
void showText(QLineEdit* field, const QString& text);

// A section's title with its symbol.
QWidget* sectionHeader(const QString& iconName, const QString& text);

// A grouped section: its rows in a panel, labels in a right-aligned column.
QGridLayout* sectionRows(QVBoxLayout* form);

void addRow(QGridLayout* grid, const QString& text, QWidget* control, Qt::Alignment controlAlignment = {});

QLineEdit* textField();

}  // namespace vorn::app::form
