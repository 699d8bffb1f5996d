#include "app/SettingsView.h"

#include "app/AlarmSettingsView.h"
#include "app/Look.h"
#include "app/SettingsForm.h"
#include "app/Stepper.h"
#include "ascii/Graphemes.h"
#include "monitor/DevicePresets.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFont>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QStringListModel>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <string>
#include <utility>

namespace vorn::app {
namespace {

using namespace form;

constexpr int formPadding = 12;

QLineEdit* portField() {
    auto* field = textField();
    field->setFixedWidth(SettingsView::portFieldWidth);
    field->setInputMethodHints(Qt::ImhDigitsOnly);
    return field;
}

}  // namespace

SettingsView::SettingsView(std::shared_ptr<monitor::OSCSettings> settings,
                           std::shared_ptr<monitor::OSCManager> manager, dispatch::MainLoop& mainLoop,
                           OpacityTarget opacityTarget, QWidget* parent)
    : QWidget(parent),
      settings_(std::move(settings)),
      manager_(std::move(manager)),
      mainLoop_(mainLoop),
      opacityTarget_(std::move(opacityTarget)),
      localIPMonitor_(monitor::LocalIPMonitor::create(mainLoop)) {
    buildForm();
    bindSettings();
}

SettingsView::~SettingsView() = default;

std::optional<std::int64_t> SettingsView::parsePort(const QString& text) {
    const QString trimmed = text.trimmed();
    // Digits only: no sign, no grouping, no fraction, nothing a number parser
    // might forgive.
    if (trimmed.isEmpty() || trimmed.size() > 5) {
        return std::nullopt;
    }
    for (const QChar c : trimmed) {
        if (c < u'0' || c > u'9') {
            return std::nullopt;
        }
    }
    const std::int64_t port = trimmed.toLongLong();
    if (port < 1 || port > 65535) {
        return std::nullopt;
    }
    return port;
}

QString SettingsView::pingIntervalText(double seconds) {
    // Whole seconds, as the stepper moves; an interval given elsewhere with a
    // fraction shows its whole part.
    return QString::number(static_cast<long long>(std::trunc(seconds))) + QStringLiteral("s");
}

QString SettingsView::opacityText(double opacity) {
    // asprintf formats in the C locale: "0.95" on every desktop.
    return QString::asprintf("%.2f", opacity);
}

void SettingsView::buildForm() {
    auto* form = new QVBoxLayout(this);
    form->setContentsMargins(formPadding, formPadding, formPadding, formPadding);
    form->setSpacing(4);

    form->addWidget(sectionHeader(QStringLiteral("globe"), tr("Network Settings")));
    QGridLayout* network = sectionRows(form);

    title_ = textField();
    title_->setObjectName(QStringLiteral("title"));
    addRow(network, tr("Title"), title_);
    preset_ = new QComboBox;
    preset_->setObjectName(QStringLiteral("preset"));
    preset_->addItem(tr("Custom"));
    for (const auto& preset : monitor::devicePresets()) {
        preset_->addItem(toQString(std::string(preset.title)));
    }
    addRow(network, tr("Preset"), preset_);
    transport_ = new QComboBox;
    transport_->setObjectName(QStringLiteral("transport"));
    transport_->addItem(tr("UDP"));
    transport_->addItem(tr("TCP (OSC 1.0 framing)"));
    transport_->addItem(tr("TCP (SLIP framing)"));
    transport_->setToolTip(tr("Over TCP, pings and answers share one connection; the receive port is not used."));
    addRow(network, tr("Transport"), transport_);
    targetIP_ = textField();
    targetIP_->setObjectName(QStringLiteral("targetIP"));
    addRow(network, tr("Target IP"), targetIP_);
    targetPort_ = portField();
    targetPort_->setObjectName(QStringLiteral("targetPort"));
    addRow(network, tr("Target Port"), targetPort_, Qt::AlignLeft);
    receivePort_ = portField();
    receivePort_->setObjectName(QStringLiteral("receivePort"));
    addRow(network, tr("Receive Port"), receivePort_, Qt::AlignLeft);
    pingMessage_ = textField();
    pingMessage_->setObjectName(QStringLiteral("pingMessage"));
    addRow(network, tr("Ping Message"), pingMessage_);
    desiredReply_ = textField();
    desiredReply_->setObjectName(QStringLiteral("desiredReply"));
    addRow(network, tr("Desired Reply"), desiredReply_);
    pingInterval_ = new Stepper(minPingInterval, maxPingInterval, 1.0, &SettingsView::pingIntervalText);
    pingInterval_->setObjectName(QStringLiteral("pingInterval"));
    addRow(network, tr("Ping Interval"), pingInterval_, Qt::AlignLeft);
    pingPortReplies_ = new QCheckBox(tr("Hear Replies to the Ping's Port"));
    pingPortReplies_->setObjectName(QStringLiteral("listenOnPingPort"));
    pingPortReplies_->setToolTip(tr("For devices that answer whoever sent the ping"));
    addRow(network, {}, pingPortReplies_);
    passive_ = new QCheckBox(tr("Passive: Send No Pings"));
    passive_->setObjectName(QStringLiteral("passive"));
    passive_->setToolTip(tr("For devices that send a heartbeat on their own"));
    addRow(network, {}, passive_);

    auto* addressBlock = new QVBoxLayout;
    addressBlock->setSpacing(4);
    addressBlock->setContentsMargins(0, 8, 0, 0);
    auto* addressTitle = new QLabel(tr("Local IP Addresses"));
    addressTitle->setTextFormat(Qt::PlainText);
    QFont subheadline = addressTitle->font();
    subheadline.setPointSizeF(subheadline.pointSizeF() * 0.9);
    subheadline.setWeight(QFont::DemiBold);
    addressTitle->setFont(subheadline);
    addressBlock->addWidget(addressTitle, 0, Qt::AlignLeft);
    addressModel_ = new QStringListModel(this);
    addresses_ = new QListView;
    addresses_->setObjectName(QStringLiteral("localAddresses"));
    addresses_->setModel(addressModel_);
    addresses_->setFixedSize(addressListWidth, addressListHeight);
    addresses_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    addresses_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    addresses_->setSelectionMode(QAbstractItemView::SingleSelection);
    addresses_->setUniformItemSizes(true);
    addresses_->setSpacing(1);
    addressBlock->addWidget(addresses_, 0, Qt::AlignLeft);
    network->addLayout(addressBlock, network->rowCount(), 0, 1, 2, Qt::AlignLeft);

    form->addWidget(sectionHeader(QStringLiteral("display"), tr("Display Settings")));
    QGridLayout* display = sectionRows(form);

    alwaysOnTop_ = new QCheckBox(tr("Always On Top"));
    alwaysOnTop_->setObjectName(QStringLiteral("alwaysOnTop"));
    addRow(display, {}, alwaysOnTop_);
    opacity_ = new Stepper(minOpacity, maxOpacity, opacityStep, &SettingsView::opacityText);
    opacity_->setObjectName(QStringLiteral("opacity"));
    addRow(display, tr("Opacity"), opacity_, Qt::AlignLeft);
    alarm_ = new QCheckBox(tr("Alarm on Dead"));
    alarm_->setObjectName(QStringLiteral("alarmEnabled"));
    addRow(display, {}, alarm_);

    alarmSettings_ = new AlarmSettingsView(settings_);
    form->addWidget(alarmSettings_);

    form->addStretch(1);
    setMinimumWidth(formWidth);
    // Never squeezed below what its rows need: the window scrolls instead.
    setMinimumHeight(std::max(formHeight, form->minimumSize().height()));
}

void SettingsView::bindSettings() {
    monitor::OSCSettings& s = *settings_;

    // From the settings to the form. Each subscriber is handed the new value
    // before the setting stores it, and shows that value.
    subscriptions_.push_back(s.title.subscribe([this](const std::string& v) { showText(title_, toQString(v)); }));
    subscriptions_.push_back(s.transport.subscribe([this](const std::string& v) {
        const auto found = std::find(std::begin(transportValues), std::end(transportValues), v);
        transport_->setCurrentIndex(found == std::end(transportValues) ? 0
                                                                       : static_cast<int>(found - transportValues));
    }));
    subscriptions_.push_back(s.targetIP.subscribe([this](const std::string& v) { showText(targetIP_, toQString(v)); }));
    subscriptions_.push_back(
        s.targetPort.subscribe([this](const std::int64_t& v) { showText(targetPort_, QString::number(v)); }));
    subscriptions_.push_back(
        s.receivePort.subscribe([this](const std::int64_t& v) { showText(receivePort_, QString::number(v)); }));
    subscriptions_.push_back(
        s.pingMessage.subscribe([this](const std::string& v) { showText(pingMessage_, toQString(v)); }));
    subscriptions_.push_back(
        s.desiredReply.subscribe([this](const std::string& v) { showText(desiredReply_, toQString(v)); }));
    subscriptions_.push_back(s.pingInterval.subscribe([this](const double& v) { pingInterval_->setValue(v); }));
    subscriptions_.push_back(s.alwaysOnTop.subscribe([this](const bool& v) { alwaysOnTop_->setChecked(v); }));
    subscriptions_.push_back(s.opacity.subscribe([this](const double& v) { opacity_->setValue(v); }));
    subscriptions_.push_back(s.alarmEnabled.subscribe([this](const bool& v) { alarm_->setChecked(v); }));
    subscriptions_.push_back(s.listenOnPingPort.subscribe([this](const bool& v) { pingPortReplies_->setChecked(v); }));
    subscriptions_.push_back(s.passive.subscribe([this](const bool& v) { passive_->setChecked(v); }));
    subscriptions_.push_back(localIPMonitor_->addresses.subscribe([this](const std::vector<std::string>& list) {
        QStringList rows;
        rows.reserve(static_cast<qsizetype>(list.size()));
        for (const auto& address : list) {
            rows.append(toQString(address));
        }
        if (rows != addressModel_->stringList()) {
            addressModel_->setStringList(rows);
        }
    }));

    // From the form to the settings. textEdited and clicked/toggled by the
    // user only: a value shown because it changed elsewhere is not written
    // back, and restarts nothing.
    // The preset shown follows the fields, wherever they were changed; read
    // once the change is stored, which is after the settings tell of it.
    showMatchingPreset();
    subscriptions_.push_back(
        s.objectWillChange.connect([this] { QTimer::singleShot(0, this, &SettingsView::showMatchingPreset); }));
    connect(preset_, &QComboBox::activated, this, &SettingsView::choosePreset);

    // The monitor follows the transport by itself, once the value is stored.
    connect(transport_, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && static_cast<std::size_t>(index) < std::size(transportValues)) {
            settings_->transport = std::string(transportValues[index]);
        }
    });
    connect(title_, &QLineEdit::textEdited, this, &SettingsView::editTitle);
    connect(targetIP_, &QLineEdit::textEdited, this, [this](const QString& text) {
        settings_->targetIP = text.toStdString();
        postToManager(&monitor::OSCManager::startPingTimer);
    });
    connect(targetPort_, &QLineEdit::editingFinished, this, [this] {
        commitPort(targetPort_, settings_->targetPort, &monitor::OSCManager::startPingTimer);
    });
    connect(receivePort_, &QLineEdit::editingFinished, this, [this] {
        commitPort(receivePort_, settings_->receivePort, &monitor::OSCManager::restartServer);
    });
    connect(pingMessage_, &QLineEdit::textEdited, this,
            [this](const QString& text) { settings_->pingMessage = text.toStdString(); });
    connect(desiredReply_, &QLineEdit::textEdited, this,
            [this](const QString& text) { settings_->desiredReply = text.toStdString(); });
    connect(pingInterval_, &Stepper::valueEdited, this, [this](double seconds) {
        settings_->pingInterval = seconds;
        postToManager(&monitor::OSCManager::startPingTimer);
    });
    connect(alwaysOnTop_, &QCheckBox::clicked, this, [this](bool checked) { settings_->alwaysOnTop = checked; });
    connect(opacity_, &Stepper::valueEdited, this, [this](double value) {
        settings_->opacity = value;
        QWidget* target = opacityTarget_ ? opacityTarget_() : defaultOpacityTarget();
        if (target != nullptr) {
            target->setWindowOpacity(settings_->opacity.get());
        }
    });
    connect(alarm_, &QCheckBox::clicked, this, [this](bool checked) { settings_->alarmEnabled = checked; });
    connect(pingPortReplies_, &QCheckBox::clicked, this,
            [this](bool checked) { settings_->listenOnPingPort = checked; });
    connect(passive_, &QCheckBox::clicked, this, [this](bool checked) { settings_->passive = checked; });
}

void SettingsView::choosePreset(int index) {
    const auto presets = monitor::devicePresets();
    if (index < 1 || static_cast<std::size_t>(index) > presets.size()) {
        return;
    }
    const std::int64_t receivePort = settings_->receivePort.get();
    monitor::applyDevicePreset(presets[static_cast<std::size_t>(index - 1)], *settings_);
    // As for an edit of the ports: the monitor's own observers saw the old
    // values.
    if (settings_->receivePort.get() != receivePort) {
        postToManager(&monitor::OSCManager::restartServer);
    }
    postToManager(&monitor::OSCManager::startPingTimer);
}

void SettingsView::showMatchingPreset() {
    const auto presets = monitor::devicePresets();
    const auto* match = monitor::matchingDevicePreset(*settings_);
    preset_->setCurrentIndex(match == nullptr ? 0 : static_cast<int>(match - presets.data()) + 1);
}

void SettingsView::editTitle(const QString& text) {
    const std::string typed = text.toStdString();
    if (ascii::graphemeCount(typed) <= titleLength) {
        settings_->title = typed;
        return;
    }
    const QString cut = toQString(ascii::graphemePrefix(typed, titleLength));
    const int cursor = std::min(title_->cursorPosition(), static_cast<int>(cut.size()));
    title_->setText(cut);
    title_->setCursorPosition(cursor);
    settings_->title = cut.toStdString();
}

void SettingsView::commitPort(QLineEdit* field, dispatch::Published<std::int64_t>& setting,
                              void (monitor::OSCManager::*effect)()) {
    const auto port = parsePort(field->text());
    if (!port) {
        // Refused: the field shows the port in force again.
        field->setText(QString::number(setting.get()));
        return;
    }
    field->setText(QString::number(*port));
    if (*port == setting.get()) {
        return;
    }
    setting = *port;
    postToManager(effect);
}

void SettingsView::postToManager(void (monitor::OSCManager::*operation)()) {
    mainLoop_.post([weak = std::weak_ptr<monitor::OSCManager>(manager_), operation] {
        if (auto manager = weak.lock()) {
            ((*manager).*operation)();
        }
    });
}

QWidget* SettingsView::defaultOpacityTarget() const {
    const QWidget* own = window();
    for (QWidget* candidate : QApplication::topLevelWidgets()) {
        if (candidate != own && candidate->windowType() == Qt::Window && candidate->isVisible()) {
            return candidate;
        }
    }
    return nullptr;
}

}  // namespace vorn::app
