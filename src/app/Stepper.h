#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QToolButton;

namespace vorn::app {

// A value with a label and a pair of up/down buttons, for settings whose
// label is not the number alone ("2s", "0.95"). Unlike a spin box it takes
// no typing: the value moves only by whole steps and never leaves its range.
class Stepper final : public QWidget {
    Q_OBJECT

public:
    using Formatter = std::function<QString(double)>;

    Stepper(double minimum, double maximum, double step, Formatter format, QWidget* parent = nullptr);

    double value() const noexcept { return value_; }
    double minimum() const noexcept { return minimum_; }
    double maximum() const noexcept { return maximum_; }

    // Shows `value` as it is (a value stored out of range stays visible);
    // emits nothing.
    void setValue(double value);

    QString text() const;
    QToolButton* upButton() const noexcept { return up_; }
    QToolButton* downButton() const noexcept { return down_; }

public Q_SLOTS:
    // One step, as a press of the buttons: emits valueEdited() when the value
    // moved.
    void stepUp();
    void stepDown();

Q_SIGNALS:
    void valueEdited(double value);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void stepTo(double value);
    void refresh();

    double minimum_;
    double maximum_;
    double step_;
    double value_;
    Formatter format_;
    QLabel* label_;
    QToolButton* up_;
    QToolButton* down_;
};

}  // namespace vorn::app
