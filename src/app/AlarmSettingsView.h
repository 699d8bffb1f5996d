#pragma once

#include "dispatch/Cancellable.h"
#include "monitor/OSCSettings.h"

#include <QWidget>

#include <memory>
#include <vector>

class QCheckBox;
class QLineEdit;
class QSpinBox;

namespace vorn::app {

// The settings window's "Alarm Settings": how many silent intervals make the
// link DEAD and how many answered ones make it ALIVE again, the slow-link
// threshold, reminders while DEAD, the alert's sound, and what to do on a
// change of state (a command to run, an OSC message to send). Each control
// shows its setting as it changes anywhere and writes back what the user
// edits.
class AlarmSettingsView final : public QWidget {
    Q_OBJECT

public:
    explicit AlarmSettingsView(std::shared_ptr<monitor::OSCSettings> settings, QWidget* parent = nullptr);
    ~AlarmSettingsView() override;

    QSpinBox* missesField() const noexcept { return misses_; }
    QSpinBox* repliesField() const noexcept { return replies_; }
    QSpinBox* slowField() const noexcept { return slow_; }
    QSpinBox* reminderField() const noexcept { return reminder_; }
    QCheckBox* soundToggle() const noexcept { return sound_; }
    QLineEdit* onDeadField() const noexcept { return onDead_; }
    QLineEdit* onAliveField() const noexcept { return onAlive_; }
    QLineEdit* stateMessageField() const noexcept { return stateMessage_; }

private:
    void bind(QSpinBox* field, dispatch::Published<std::int64_t>& setting);
    void bind(QLineEdit* field, dispatch::Published<std::string>& setting);

    std::shared_ptr<monitor::OSCSettings> settings_;
    QSpinBox* misses_ = nullptr;
    QSpinBox* replies_ = nullptr;
    QSpinBox* slow_ = nullptr;
    QSpinBox* reminder_ = nullptr;
    QCheckBox* sound_ = nullptr;
    QLineEdit* onDead_ = nullptr;
    QLineEdit* onAlive_ = nullptr;
    QLineEdit* stateMessage_ = nullptr;
    // Declared last: cancelled first, before the controls they update go.
    std::vector<dispatch::Cancellable> subscriptions_;
};

}  // namespace vorn::app
