#include "app/Stepper.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace vorn::app {
namespace {

constexpr int stepperWidth = 100;

// Repeated steps of 0.05 drift in binary (1.0 - 12 * 0.05 is not 0.4); nine
// decimals are far finer than any step here and bring each result back onto
// the value a person would write.
double tidy(double value) {
    return std::round(value * 1e9) / 1e9;
}

}  // namespace

Stepper::Stepper(double minimum, double maximum, double step, Formatter format, QWidget* parent)
    : QWidget(parent),
      minimum_(minimum),
      maximum_(maximum),
      step_(step),
      value_(minimum),
      format_(std::move(format)),
      label_(new QLabel(this)),
      up_(new QToolButton(this)),
      down_(new QToolButton(this)) {
    label_->setTextFormat(Qt::PlainText);
    up_->setArrowType(Qt::UpArrow);
    down_->setArrowType(Qt::DownArrow);
    for (QToolButton* button : {up_, down_}) {
        button->setAutoRepeat(true);
        button->setFixedSize(18, 12);
        button->setFocusPolicy(Qt::NoFocus);
    }
    up_->setAccessibleName(tr("Increment"));
    down_->setAccessibleName(tr("Decrement"));
    connect(up_, &QToolButton::clicked, this, &Stepper::stepUp);
    connect(down_, &QToolButton::clicked, this, &Stepper::stepDown);

    auto* arrows = new QVBoxLayout;
    arrows->setContentsMargins(0, 0, 0, 0);
    arrows->setSpacing(0);
    arrows->addWidget(up_);
    arrows->addWidget(down_);

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(label_);
    row->addLayout(arrows);
    row->addStretch(1);

    setFixedWidth(stepperWidth);
    setFocusPolicy(Qt::TabFocus);
    refresh();
}

void Stepper::setValue(double value) {
    value_ = value;
    refresh();
}

QString Stepper::text() const {
    return label_->text();
}

void Stepper::stepUp() {
    if (value_ < maximum_) {
        stepTo(std::clamp(tidy(value_ + step_), minimum_, maximum_));
    }
}

void Stepper::stepDown() {
    if (value_ > minimum_) {
        stepTo(std::clamp(tidy(value_ - step_), minimum_, maximum_));
    }
}

void Stepper::stepTo(double value) {
    if (value == value_) {
        return;
    }
    value_ = value;
    refresh();
    Q_EMIT valueEdited(value_);
}

void Stepper::refresh() {
    label_->setText(format_(value_));
    up_->setEnabled(value_ < maximum_);
    down_->setEnabled(value_ > minimum_);
}

void Stepper::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up) {
        stepUp();
    } else if (event->key() == Qt::Key_Down) {
        stepDown();
    } else {
        QWidget::keyPressEvent(event);
    }
}

}  // namespace vorn::app
