#include "app/AlarmSettingsView.h"

#include "app/SettingsForm.h"
#include "monitor/HookCommand.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QVBoxLayout>

#include <string>

namespace vorn::app {

namespace {

constexpr int numberFieldWidth = 120;

QSpinBox* numberField(const char* name, int minimum, std::int64_t maximum, const QString& suffix,
                      const QString& offText = {}) {
    auto* field = new QSpinBox;
    field->setObjectName(QString::fromLatin1(name));
    field->setRange(minimum, static_cast<int>(maximum));
    field->setSuffix(suffix);
    // The lowest value of an optional figure reads "Off" rather than "0 ms".
    field->setSpecialValueText(offText);
    field->setFixedWidth(numberFieldWidth);
    field->setKeyboardTracking(false);
    return field;
}

QLineEdit* commandField(const char* name, const QString& placeholder) {
    QLineEdit* field = form::textField();
    field->setObjectName(QString::fromLatin1(name));
    field->setPlaceholderText(placeholder);
    return field;
}

// A command or a target that cannot be used says why where the user looks.
void markProblem(QLineEdit* field, const std::string& problem) {
    field->setToolTip(QString::fromStdString(problem));
    field->setStyleSheet(problem.empty() ? QString() : QStringLiteral("QLineEdit { border: 1px solid #ff3b30; }"));
}

}  // namespace

AlarmSettingsView::AlarmSettingsView(std::shared_ptr<monitor::OSCSettings> settings, QWidget* parent)
    : QWidget(parent), settings_(std::move(settings)) {
    using monitor::OSCSettings;
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(4);
    column->addWidget(form::sectionHeader(QStringLiteral("bell-slash"), tr("Alarm Settings")));
    QGridLayout* rows = form::sectionRows(column);

    misses_ = numberField("missesBeforeDead", 1, OSCSettings::maxStateCount, tr(" silent"));
    form::addRow(rows, tr("DEAD After"), misses_, Qt::AlignLeft);
    replies_ = numberField("repliesBeforeAlive", 1, OSCSettings::maxStateCount, tr(" answered"));
    form::addRow(rows, tr("ALIVE After"), replies_, Qt::AlignLeft);
    slow_ = numberField("slowRoundTripMs", 0, OSCSettings::maxSlowRoundTripMs, tr(" ms"), tr("Off"));
    form::addRow(rows, tr("Slow Above"), slow_, Qt::AlignLeft);
    reminder_ = numberField("deadReminderMinutes", 0, OSCSettings::maxDeadReminderMinutes, tr(" min"), tr("Off"));
    form::addRow(rows, tr("Remind Every"), reminder_, Qt::AlignLeft);
    sound_ = new QCheckBox(tr("Sound With Alerts"));
    sound_->setObjectName(QStringLiteral("alarmSound"));
    form::addRow(rows, {}, sound_);
    onDead_ = commandField("onDeadCommand", tr("command to run"));
    form::addRow(rows, tr("On DEAD Run"), onDead_);
    onAlive_ = commandField("onAliveCommand", tr("command to run"));
    form::addRow(rows, tr("On ALIVE Run"), onAlive_);
    stateMessage_ = commandField("stateMessage", tr("HOST:PORT/ADDRESS"));
    form::addRow(rows, tr("Send State To"), stateMessage_);

    bind(misses_, settings_->missesBeforeDead);
    bind(replies_, settings_->repliesBeforeAlive);
    bind(slow_, settings_->slowRoundTripMs);
    bind(reminder_, settings_->deadReminderMinutes);
    bind(onDead_, settings_->onDeadCommand);
    bind(onAlive_, settings_->onAliveCommand);
    bind(stateMessage_, settings_->stateMessage);
    subscriptions_.push_back(settings_->alarmSound.subscribe([this](const bool& on) { sound_->setChecked(on); }));
    connect(sound_, &QCheckBox::clicked, this, [this](bool on) { settings_->alarmSound = on; });
}

AlarmSettingsView::~AlarmSettingsView() = default;

void AlarmSettingsView::bind(QSpinBox* field, dispatch::Published<std::int64_t>& setting) {
    subscriptions_.push_back(setting.subscribe([field](const std::int64_t& value) {
        // Shown, not edited: nothing is written back.
        const QSignalBlocker quiet(field);
        field->setValue(static_cast<int>(value));
    }));
    connect(field, &QSpinBox::valueChanged, this, [&setting](int value) { setting = value; });
}

void AlarmSettingsView::bind(QLineEdit* field, dispatch::Published<std::string>& setting) {
    const auto check = [this, field](const std::string& text) {
        std::string problem;
        if (field == stateMessage_) {
            if (!text.empty() && !monitor::parseStateMessage(text, &problem) && problem.empty()) {
                problem = "Not HOST:PORT/ADDRESS";
            }
        } else if (!monitor::splitCommand(text, &problem) && problem.empty()) {
            problem = "The command cannot be read";
        }
        markProblem(field, problem);
    };
    subscriptions_.push_back(setting.subscribe([field, check](const std::string& text) {
        form::showText(field, form::toQString(text));
        check(text);
    }));
    connect(field, &QLineEdit::textEdited, this, [&setting](const QString& text) { setting = text.toStdString(); });
}

}  // namespace vorn::app
