#pragma once

#include "app/SettingsForm.h"
#include "dispatch/Cancellable.h"
#include "dispatch/MainLoop.h"
#include "monitor/LocalIPMonitor.h"
#include "monitor/OSCManager.h"
#include "monitor/OSCSettings.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListView;
class QStringListModel;

namespace vorn::app {

class AlarmSettingsView;

class Stepper;

// The settings form. Every control is bound straight to the shared settings:
// an edit takes effect as it is made, and a change made anywhere else (another
// form, the command line's options) shows up here at once. Edits that change
// how the monitor talks to the network restart its ping timer or its server on
// the main loop's next turn, after the setting has been stored; the monitor's
// own observers restart as well, inside the assignment, with the old value.
class SettingsView final : public QWidget {
    Q_OBJECT

public:
    static constexpr int labelWidth = form::labelWidth;
    static constexpr int portFieldWidth = 240;
    static constexpr int addressListWidth = 240;
    static constexpr int addressListHeight = 80;
    static constexpr int formWidth = 400;
    static constexpr int formHeight = 664;
    // In user-perceived characters.
    static constexpr std::size_t titleLength = 16;

    static constexpr double minPingInterval = 1.0;
    static constexpr double maxPingInterval = 30.0;
    static constexpr double minOpacity = 0.4;
    static constexpr double maxOpacity = 1.0;
    static constexpr double opacityStep = 0.05;

    // The window whose opacity an opacity edit sets directly, besides the
    // setting itself. Returns null for none.
    using OpacityTarget = std::function<QWidget*()>;

    // `mainLoop` must outlive the view. Without an opacity target, the first
    // top-level window other than the view's own is taken: in the app that
    // is the main window.
    SettingsView(std::shared_ptr<monitor::OSCSettings> settings, std::shared_ptr<monitor::OSCManager> manager,
                 dispatch::MainLoop& mainLoop, OpacityTarget opacityTarget = {}, QWidget* parent = nullptr);
    ~SettingsView() override;

    // The controls, for tests and for the window that holds the form.
    QLineEdit* titleField() const noexcept { return title_; }
    // Item 0 is "Custom"; item i is device preset i - 1.
    QComboBox* presetChoice() const noexcept { return preset_; }
    // Items in the order of transportValues.
    QComboBox* transportChoice() const noexcept { return transport_; }
    QLineEdit* targetIPField() const noexcept { return targetIP_; }
    QLineEdit* targetPortField() const noexcept { return targetPort_; }
    QLineEdit* receivePortField() const noexcept { return receivePort_; }
    QLineEdit* pingMessageField() const noexcept { return pingMessage_; }
    QLineEdit* desiredReplyField() const noexcept { return desiredReply_; }
    Stepper* pingIntervalStepper() const noexcept { return pingInterval_; }
    QCheckBox* pingPortRepliesToggle() const noexcept { return pingPortReplies_; }
    QCheckBox* passiveToggle() const noexcept { return passive_; }
    QListView* addressList() const noexcept { return addresses_; }
    QCheckBox* alwaysOnTopToggle() const noexcept { return alwaysOnTop_; }
    Stepper* opacityStepper() const noexcept { return opacity_; }
    QCheckBox* alarmToggle() const noexcept { return alarm_; }
    AlarmSettingsView* alarmSettings() const noexcept { return alarmSettings_; }

    // A whole number from 1 to 65535, as a port field accepts it; nothing for
    // any other text.
    static std::optional<std::int64_t> parsePort(const QString& text);

    static QString pingIntervalText(double seconds);
    static QString opacityText(double opacity);

    // The transport setting's values, in the order the choice lists them.
    static constexpr std::string_view transportValues[] = {monitor::OSCSettings::Transports::udp,
                                                           monitor::OSCSettings::Transports::tcp,
                                                           monitor::OSCSettings::Transports::tcpSlip};

private:
    void buildForm();
    void bindSettings();

    void editTitle(const QString& text);
    void choosePreset(int index);
    void showMatchingPreset();
    void commitPort(QLineEdit* field, dispatch::Published<std::int64_t>& setting, void (monitor::OSCManager::*effect)());
    void postToManager(void (monitor::OSCManager::*operation)());
    QWidget* defaultOpacityTarget() const;

    std::shared_ptr<monitor::OSCSettings> settings_;
    std::shared_ptr<monitor::OSCManager> manager_;
    dispatch::MainLoop& mainLoop_;
    OpacityTarget opacityTarget_;
    std::shared_ptr<monitor::LocalIPMonitor> localIPMonitor_;

    QLineEdit* title_ = nullptr;
    QComboBox* preset_ = nullptr;
    QComboBox* transport_ = nullptr;
    QLineEdit* targetIP_ = nullptr;
    QLineEdit* targetPort_ = nullptr;
    QLineEdit* receivePort_ = nullptr;
    QLineEdit* pingMessage_ = nullptr;
    QLineEdit* desiredReply_ = nullptr;
    Stepper* pingInterval_ = nullptr;
    QCheckBox* pingPortReplies_ = nullptr;
    QCheckBox* passive_ = nullptr;
    QListView* addresses_ = nullptr;
    QStringListModel* addressModel_ = nullptr;
    QCheckBox* alwaysOnTop_ = nullptr;
    Stepper* opacity_ = nullptr;
    QCheckBox* alarm_ = nullptr;
    AlarmSettingsView* alarmSettings_ = nullptr;

    // Declared last: cancelled first, before the controls they update go.
    std::vector<dispatch::Cancellable> subscriptions_;
};

}  // namespace vorn::app
