#include "ui/settings_dialog.h"

#include "config/setting_ranges.h"
#include "config/teleop_config.h"
#include "ui/video_source_picker.h"
#include "vision/camera_list.h"
#include "vision/pose_model_info.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <initializer_list>
#include <string>

namespace {

// A pasted topic is reduced to the robot id between these parts.
const QString kTopicPrefix = QStringLiteral("robot/kestro/");
const QString kControlSuffix = QStringLiteral("/control");
const QString kStatusSuffix = QStringLiteral("/status");

// Only the GPU providers count as accelerated; everything else, including a
// CPU fallback after a failed GPU start, is shown as a warning colour.
const QString kAcceleratedColour = QStringLiteral("#00ff88");
const QString kFallbackColour = QStringLiteral("#ffcc00");

// Readable on the dark and the light palette alike.
const char* const kProblemStyle = "color: #ff6b6b; font-weight: bold;";
const char* const kUnusableRobotIdMessage =
    "Robot ID may not contain '#', '+' or a NUL character: MQTT reserves them. Nothing was applied.";

struct ComboItem {
    const char* text;
    const char* data;
};

QComboBox* makeCombo(const char* objectName, std::initializer_list<ComboItem> items)
{
    auto* combo = new QComboBox;
    combo->setObjectName(QString::fromLatin1(objectName));
    for (const ComboItem& item : items)
        combo->addItem(QString::fromUtf8(item.text), QString::fromUtf8(item.data));
    return combo;
}

QSpinBox* makeSpin(const char* objectName, int minimum, int maximum, int step = 1, const char* suffix = "")
{
    auto* spin = new QSpinBox;
    spin->setObjectName(QString::fromLatin1(objectName));
    spin->setRange(minimum, maximum);
    spin->setSingleStep(step);
    spin->setSuffix(QString::fromUtf8(suffix));
    return spin;
}

// Qt's default of two decimals is kept: the stored floats are shown rounded.
QDoubleSpinBox* makeDoubleSpin(const char* objectName, double minimum, double maximum, double step,
                               const char* suffix = "")
{
    auto* spin = new QDoubleSpinBox;
    spin->setObjectName(QString::fromLatin1(objectName));
    spin->setRange(minimum, maximum);
    spin->setSingleStep(step);
    spin->setSuffix(QString::fromUtf8(suffix));
    return spin;
}

QCheckBox* makeCheck(const char* objectName, const char* text)
{
    auto* check = new QCheckBox(QString::fromUtf8(text));
    check->setObjectName(QString::fromLatin1(objectName));
    return check;
}

QLineEdit* makeEdit(const char* objectName)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(QString::fromLatin1(objectName));
    return edit;
}

// An unknown value leaves the current item as it is, so a hand-edited file
// with a typo shows (and on apply stores) a valid choice instead of nothing.
void selectData(QComboBox* combo, const QString& data)
{
    const int index = combo->findData(data, Qt::UserRole, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (index >= 0)
        combo->setCurrentIndex(index);
}

void selectData(QComboBox* combo, const std::string& data)
{
    selectData(combo, QString::fromStdString(data));
}

std::string currentData(const QComboBox* combo)
{
    return combo->currentData().toString().toStdString();
}

std::string typedText(const QLineEdit* edit)
{
    return edit->text().toStdString();
}

std::string trimmedText(const QLineEdit* edit)
{
    return edit->text().trimmed().toStdString();
}

QWidget* formPage(QFormLayout*& form)
{
    auto* page = new QWidget;
    form = new QFormLayout(page);
    return page;
}

} // namespace

SettingsDialog::SettingsDialog(QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Kestro Teleop Settings"));
    resize(540, 420);
    setupUi();
    loadCurrentConfig();
}

void SettingsDialog::setupUi()
{
    auto* layout = new QVBoxLayout(this);

    m_tabs = new QTabWidget;
    m_tabs->setObjectName(QStringLiteral("settingsTabs"));
    m_tabs->addTab(createCameraTab(), QStringLiteral("Camera"));
    m_tabs->addTab(createInferenceTab(), QStringLiteral("AI Inference"));
    m_tabs->addTab(createRetargetingTab(), QStringLiteral("Retargeting"));
    m_tabs->addTab(createSafetyTab(), QStringLiteral("Safety"));
    m_tabs->addTab(scrollable(createNetworkTab()), QStringLiteral("MQTT Network"));
    m_tabs->addTab(createViewTab(), QStringLiteral("View"));
    layout->addWidget(m_tabs);
    m_problemLabel = new QLabel;
    m_problemLabel->setObjectName(QStringLiteral("settingsProblemLabel"));
    m_problemLabel->setStyleSheet(QString::fromLatin1(kProblemStyle));
    m_problemLabel->setWordWrap(true);
    m_problemLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_problemLabel->hide();
    layout->addWidget(m_problemLabel);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    m_okButton = new QPushButton(QStringLiteral("OK"));
    m_okButton->setObjectName(QStringLiteral("okButton"));
    m_okButton->setDefault(true);
    m_cancelButton = new QPushButton(QStringLiteral("Cancel"));
    m_cancelButton->setObjectName(QStringLiteral("cancelButton"));
    m_applyButton = new QPushButton(QStringLiteral("Apply"));
    m_applyButton->setObjectName(QStringLiteral("applyButton"));
    buttons->addWidget(m_okButton);
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_applyButton);
    layout->addLayout(buttons);

    connect(m_okButton, &QPushButton::clicked, this, &SettingsDialog::onOkClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &SettingsDialog::onCancelClicked);
    connect(m_applyButton, &QPushButton::clicked, this, &SettingsDialog::onApplyClicked);
}

QWidget* SettingsDialog::createCameraTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_cameraIndexSpin = makeSpin("cameraIndexSpin", 0, 10);
    m_resolutionCombo = makeCombo("resolutionCombo", {{"640 x 480 (VGA)", "640x480"},
                                                      {"1280 x 720 (HD)", "1280x720"},
                                                      {"1920 x 1080 (FHD)", "1920x1080"}});
    m_fpsSpin = makeSpin("fpsSpin", setting_ranges::kTargetFps.minimum, setting_ranges::kTargetFps.maximum, 1, " fps");
    m_mirrorCheck = makeCheck("mirrorCheck", "Mirror camera video horizontally (recommended)");
    // No more than the camera can deliver; 0 is the default and keeps every frame.
    m_recordFpsSpin = makeSpin("recordFpsSpin", 0, setting_ranges::kTargetFps.maximum, 1, " fps");
    m_recordFpsSpin->setSpecialValueText(QStringLiteral("Every frame"));
    m_sourcePicker = new VideoSourcePicker;
    m_sourcePicker->setObjectName(QStringLiteral("videoSourcePicker"));
    m_cameraDeviceCombo = new QComboBox;
    m_cameraDeviceCombo->setObjectName(QStringLiteral("cameraDeviceCombo"));
    form->addRow(QStringLiteral("Video Source:"), m_sourcePicker);
    form->addRow(QStringLiteral("Camera Device:"), m_cameraDeviceCombo);
    form->addRow(QStringLiteral("Camera Device Index:"), m_cameraIndexSpin);
    connect(m_cameraDeviceCombo, &QComboBox::activated, this, [this](int item) {
        const QVariant index = m_cameraDeviceCombo->itemData(item);
        if (index.isValid())
            m_cameraIndexSpin->setValue(index.toInt());
    });
    connect(m_cameraIndexSpin, &QSpinBox::valueChanged, this, [this](int index) {
        const int item = m_cameraDeviceCombo->findData(index);
        m_cameraDeviceCombo->setCurrentIndex(item >= 0 ? item : m_cameraDeviceCombo->count() - 1);
    });
    form->addRow(QStringLiteral("Resolution:"), m_resolutionCombo);
    form->addRow(QStringLiteral("Target Frame Rate:"), m_fpsSpin);
    form->addRow(QString(), m_mirrorCheck);
    form->addRow(QStringLiteral("Recording Frame Rate:"), m_recordFpsSpin);
    return page;
}

QWidget* SettingsDialog::createInferenceTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_providerCombo = makeCombo("providerCombo", {{"Auto (Prefer DirectML / CUDA, fallback CPU)", "auto"},
                                                  {"DirectML (Windows DirectX 12)", "directml"},
                                                  {"CUDA (NVIDIA GPU)", "cuda"},
                                                  {"CPU (Portable)", "cpu"}});
    m_backendLabel = new QLabel(QStringLiteral("Active Backend: Initializing..."));
    m_backendLabel->setObjectName(QStringLiteral("backendLabel"));
    m_backendLabel->setStyleSheet(QStringLiteral("color: #00ADB5; font-weight: bold; font-size: 11px;"));
    m_backendLabel->setTextFormat(Qt::RichText);
    // The detected list can name many providers; wrapped, it never widens
    // the dialog.
    m_backendLabel->setWordWrap(true);
    m_confSpin = makeDoubleSpin("confSpin", setting_ranges::kThreshold.minimum, setting_ranges::kThreshold.maximum, 0.05);
    m_kptSpin = makeDoubleSpin("kptSpin", setting_ranges::kThreshold.minimum, setting_ranges::kThreshold.maximum, 0.05);
    m_targetCombo = makeCombo("targetCombo", {{"Largest Bounding Box", "largest"}, {"Highest Confidence", "confidence"}});
    // The build names what it really embedded; a custom model file is chosen
    // in the settings file, not here.
    auto* modelLabel = new QLabel(QString::fromUtf8(kestro::kPoseModelLabel));
    modelLabel->setObjectName(QStringLiteral("modelLabel"));
    modelLabel->setStyleSheet(QStringLiteral("color: #88a; font-style: italic;"));
    // Builds name their network at different lengths; wrapping keeps the
    // dialog at its intended width.
    modelLabel->setWordWrap(true);
    form->addRow(QStringLiteral("Execution Provider:"), m_providerCombo);
    form->addRow(QString(), m_backendLabel);
    form->addRow(QStringLiteral("Person Confidence Thresh:"), m_confSpin);
    form->addRow(QStringLiteral("Keypoint Confidence Thresh:"), m_kptSpin);
    form->addRow(QStringLiteral("Target Person Selection:"), m_targetCombo);
    form->addRow(QString(), modelLabel);
    return page;
}

QWidget* SettingsDialog::createRetargetingTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_smoothingSpin = makeDoubleSpin("smoothingSpin", setting_ranges::kSmoothingAlpha.minimum,
                                     setting_ranges::kSmoothingAlpha.maximum, 0.05);
    m_smoothingSpin->setToolTip(QStringLiteral("0.0 = frozen, 1.0 = instant/raw (no filter)"));
    m_deadbandSpin = makeDoubleSpin("deadbandSpin", setting_ranges::kDeadbandDeg.minimum,
                                    setting_ranges::kDeadbandDeg.maximum, 0.5, " deg");
    m_maxVelocitySpin = makeDoubleSpin("maxVelocitySpin", setting_ranges::kMaxVelocityDegS.minimum,
                                       setting_ranges::kMaxVelocityDegS.maximum, 10.0, " deg/s");
    m_maxVelocitySpin->setToolTip(QStringLiteral("Fastest any streamed joint may turn. A value of 0 or less in the "
                                                 "settings file means no limit."));
    m_modeCombo = makeCombo("modeCombo", {{"Upper Body (Head + Arms)", "upper_body"}, {"Full Body (Arms + Legs)", "full_body"}});
    m_stanceCombo = makeCombo("stanceCombo", {{"Neutral (Standing)", "neutral"}, {"Combat (Ready)", "combat"}});
    form->addRow(QStringLiteral("Smoothing Factor (Alpha):"), m_smoothingSpin);
    form->addRow(QStringLiteral("Deadband Threshold:"), m_deadbandSpin);
    form->addRow(QStringLiteral("Max Joint Speed:"), m_maxVelocitySpin);
    form->addRow(QStringLiteral("Retargeting Mode:"), m_modeCombo);
    form->addRow(QStringLiteral("Stance Preset:"), m_stanceCombo);
    return page;
}

QWidget* SettingsDialog::createSafetyTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_safetyMarginSpin = makeDoubleSpin("safetyMarginSpin", setting_ranges::kSafetyMarginDeg.minimum,
                                        setting_ranges::kSafetyMarginDeg.maximum, 0.5, " deg");
    m_txRateSpin = makeSpin("txRateSpin", setting_ranges::kTxRateHz.minimum, setting_ranges::kTxRateHz.maximum, 1, " Hz");
    m_watchdogSpin = makeSpin("watchdogSpin", setting_ranges::kWatchdogTimeoutMs.minimum,
                              setting_ranges::kWatchdogTimeoutMs.maximum, 50, " ms");
    form->addRow(QStringLiteral("URDF Safety Margin:"), m_safetyMarginSpin);
    form->addRow(QStringLiteral("MQTT Publish Rate:"), m_txRateSpin);
    form->addRow(QStringLiteral("Watchdog Timeout:"), m_watchdogSpin);
    return page;
}

QWidget* SettingsDialog::createNetworkTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_hostEdit = makeEdit("hostEdit");
    m_portSpin = makeSpin("portSpin", 1, 65535);
    m_usernameEdit = makeEdit("usernameEdit");
    m_passwordEdit = makeEdit("passwordEdit");
    m_passwordEdit->setEchoMode(QLineEdit::Password);
    m_robotIdEdit = makeEdit("robotIdEdit");
    m_robotIdEdit->setPlaceholderText(QStringLiteral("e.g. QRX-ab12, kestro"));
    m_keepaliveSpin = makeSpin("keepaliveSpin", 5, 300, 1, " s");
    m_autoConnectCheck = makeCheck("autoConnectCheck", "Auto-connect to broker on startup");
    form->addRow(QStringLiteral("Broker Address:"), m_hostEdit);
    form->addRow(QStringLiteral("Broker Port:"), m_portSpin);
    form->addRow(QStringLiteral("Username (optional):"), m_usernameEdit);
    form->addRow(QStringLiteral("Password (optional):"), m_passwordEdit);
    form->addRow(QStringLiteral("Robot ID:"), m_robotIdEdit);
    form->addRow(QStringLiteral("Keepalive Interval:"), m_keepaliveSpin);
    form->addRow(QString(), m_autoConnectCheck);
    addTlsRows(form);
    return page;
}

QWidget* SettingsDialog::createViewTab()
{
    QFormLayout* form = nullptr;
    QWidget* page = formPage(form);
    m_showMeshesCheck = makeCheck("showMeshesCheck", "Render 3D Robot Links");
    m_showSkeletonCheck = makeCheck("showSkeletonCheck", "Draw Pose Skeleton on Camera View");
    m_showGridCheck = makeCheck("showGridCheck", "Display 3D Coordinate Floor Grid");
    m_darkThemeCheck = makeCheck("darkThemeCheck", "Dark Application Palette");
    form->addRow(QString(), m_showMeshesCheck);
    form->addRow(QString(), m_showSkeletonCheck);
    form->addRow(QString(), m_showGridCheck);
    form->addRow(QString(), m_darkThemeCheck);
    return page;
}

void SettingsDialog::listCameraDevices()
{
    // Listed afresh at every showing: cameras come and go.
    m_cameraDeviceCombo->clear();
    for (const cv::CaptureDevice& device : cv::listCaptureDevices())
        m_cameraDeviceCombo->addItem(
            QStringLiteral("%1 (/dev/video%2)").arg(QString::fromStdString(device.card)).arg(device.index),
            device.index);
    m_cameraDeviceCombo->addItem(m_cameraDeviceCombo->count() == 0 ? QStringLiteral("No camera found")
                                                                   : QStringLiteral("Other (by index below)"));
}

void SettingsDialog::loadCurrentConfig()
{
    const TeleopConfig& config = *TeleopConfig::instance();
    listCameraDevices();

    // The spin boxes clamp out-of-range values from a hand-edited file to
    // their ranges, so an apply stores a bounded value.
    m_cameraIndexSpin->setValue(config.camera.deviceIndex);
    const int deviceItem = m_cameraDeviceCombo->findData(m_cameraIndexSpin->value());
    m_cameraDeviceCombo->setCurrentIndex(deviceItem >= 0 ? deviceItem : m_cameraDeviceCombo->count() - 1);
    selectData(m_resolutionCombo, QStringLiteral("%1x%2").arg(config.camera.width).arg(config.camera.height));
    m_fpsSpin->setValue(config.camera.targetFps);
    m_mirrorCheck->setChecked(config.camera.mirrorVideo);
    m_recordFpsSpin->setValue(config.camera.recordFps);
    m_sourcePicker->setSource(config.camera.sourceType, config.camera.mediaLocation);

    selectData(m_providerCombo, config.ai.provider);
    m_confSpin->setValue(config.ai.confThreshold);
    m_kptSpin->setValue(config.ai.kptThreshold);
    selectData(m_targetCombo, config.ai.targetSelection);

    m_smoothingSpin->setValue(config.retarget.smoothingAlpha);
    m_deadbandSpin->setValue(config.retarget.deadbandDeg);
    m_maxVelocitySpin->setValue(config.retarget.maxVelocityDegS);
    selectData(m_modeCombo, config.retarget.mode);
    selectData(m_stanceCombo, config.retarget.stancePreset);

    m_safetyMarginSpin->setValue(config.safety.safetyMarginDeg);
    m_txRateSpin->setValue(config.safety.txRateHz);
    m_watchdogSpin->setValue(config.safety.watchdogTimeoutMs);

    m_hostEdit->setText(QString::fromStdString(config.mqtt.host));
    m_portSpin->setValue(config.mqtt.port);
    m_usernameEdit->setText(QString::fromStdString(config.mqtt.username));
    m_passwordEdit->setText(QString::fromStdString(config.mqtt.password));
    m_robotIdEdit->setText(QString::fromStdString(config.mqtt.robotId));
    m_keepaliveSpin->setValue(config.mqtt.keepalive);
    m_autoConnectCheck->setChecked(config.mqtt.autoConnect);
    loadTlsFields(config.mqtt);

    m_showMeshesCheck->setChecked(config.view.showRobotMeshes);
    m_showSkeletonCheck->setChecked(config.view.showSkeleton);
    m_showGridCheck->setChecked(config.view.showGrid);
    m_darkThemeCheck->setChecked(config.view.darkTheme);

    showProblem(config.loadProblem());
}

bool SettingsDialog::applyToConfig()
{
    TeleopConfig& config = *TeleopConfig::instance();

    const std::string robotId = normalizeRobotIdInput(m_robotIdEdit->text()).toStdString();
    if (!TeleopConfig::isUsableRobotId(robotId)) {
        showProblem(kUnusableRobotIdMessage);
        m_tabs->setCurrentWidget(m_robotIdEdit->parentWidget());
        m_robotIdEdit->setFocus();
        return false;
    }

    config.camera.deviceIndex = m_cameraIndexSpin->value();
    const QStringList size = m_resolutionCombo->currentData().toString().split(QLatin1Char('x'));
    if (size.size() == 2) {
        // toInt gives 0 for text that does not parse, which is what is stored.
        config.camera.width = size[0].toInt();
        config.camera.height = size[1].toInt();
    }
    config.camera.targetFps = m_fpsSpin->value();
    config.camera.mirrorVideo = m_mirrorCheck->isChecked();
    config.camera.recordFps = m_recordFpsSpin->value();
    config.camera.sourceType = m_sourcePicker->sourceType();
    config.camera.mediaLocation = m_sourcePicker->location();
    config.ai.provider = currentData(m_providerCombo);
    config.ai.confThreshold = static_cast<float>(m_confSpin->value());
    config.ai.kptThreshold = static_cast<float>(m_kptSpin->value());
    config.ai.targetSelection = currentData(m_targetCombo);
    config.retarget.smoothingAlpha = static_cast<float>(m_smoothingSpin->value());
    config.retarget.deadbandDeg = static_cast<float>(m_deadbandSpin->value());
    config.retarget.maxVelocityDegS = static_cast<float>(m_maxVelocitySpin->value());
    config.retarget.mode = currentData(m_modeCombo);
    config.retarget.stancePreset = currentData(m_stanceCombo);
    config.safety.safetyMarginDeg = static_cast<float>(m_safetyMarginSpin->value());
    config.safety.txRateHz = m_txRateSpin->value();
    config.safety.watchdogTimeoutMs = m_watchdogSpin->value();

    config.mqtt.host = trimmedText(m_hostEdit);
    if (config.mqtt.host.empty())
        config.mqtt.host = TeleopConfig::MqttConfig().host;
    config.mqtt.port = m_portSpin->value();
    config.mqtt.username = trimmedText(m_usernameEdit);
    // Blanks can be part of a password: stored exactly as typed.
    config.mqtt.password = typedText(m_passwordEdit);
    config.mqtt.robotId = robotId;
    config.mqtt.keepalive = m_keepaliveSpin->value();
    config.mqtt.autoConnect = m_autoConnectCheck->isChecked();
    applyTlsFields(config.mqtt);

    config.view.showRobotMeshes = m_showMeshesCheck->isChecked();
    config.view.showSkeleton = m_showSkeletonCheck->isChecked();
    config.view.showGrid = m_showGridCheck->isChecked();
    config.view.darkTheme = m_darkThemeCheck->isChecked();

    // The new values are in force for this session either way; a failed
    // save stays on screen so that the operator knows they will not last.
    const bool saved = config.save(std::string());
    showProblem(saved ? std::string() : config.lastSaveError());
    emit settingsApplied();
    return saved;
}

void SettingsDialog::showProblem(const std::string& problem)
{
    m_problemLabel->setText(QString::fromStdString(problem));
    m_problemLabel->setVisible(!problem.empty());
}

QString SettingsDialog::normalizeRobotIdInput(const QString& text)
{
    QString id = text.trimmed();
    if (id.startsWith(kTopicPrefix))
        id.remove(0, kTopicPrefix.size());
    while (id.endsWith(QLatin1Char('/')))
        id.chop(1);
    if (id.endsWith(kControlSuffix))
        id.chop(kControlSuffix.size());
    else if (id.endsWith(kStatusSuffix))
        id.chop(kStatusSuffix.size());
    if (id.isEmpty())
        id = QString::fromStdString(TeleopConfig::MqttConfig().robotId);
    return id;
}

void SettingsDialog::setEstimatorInfo(const QString& activeProvider, const QStringList& availableProviders)
{
    if (!m_backendLabel)
        return;
    const bool accelerated = activeProvider == QLatin1String("DirectML") || activeProvider == QLatin1String("CUDA");
    // The label renders rich text; the names are escaped so that they are
    // always shown as plain words.
    QStringList escaped;
    for (const QString& name : availableProviders)
        escaped << name.toHtmlEscaped();
    const QString detected = escaped.join(QStringLiteral(", "));
    m_backendLabel->setText(QStringLiteral("Active: <span style='color: %1;'>%2</span> (Detected: %3)")
                                .arg(accelerated ? kAcceleratedColour : kFallbackColour,
                                     activeProvider.isEmpty() ? QStringLiteral("None") : activeProvider.toHtmlEscaped(),
                                     detected.isEmpty() ? QStringLiteral("CPU") : detected));
}

void SettingsDialog::onOkClicked()
{
    // A refused or unsaved apply keeps the dialog open with the reason.
    if (applyToConfig())
        accept();
}

void SettingsDialog::onApplyClicked()
{
    applyToConfig();
}

void SettingsDialog::onCancelClicked()
{
    reject();
}
