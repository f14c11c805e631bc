// The settings dialog's side of the window: opening it from the
// "&Settings..." entry and the "Settings" button, and bringing the running
// system in line with what the operator applied. The camera restarts on
// every apply; the estimator and the broker connection only when their own
// settings changed, because a model load takes seconds and a reconnect
// drops the robot link for a moment.
#include "app/main_window.h"

#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "record/session_messages.h"
#include "ui/settings_dialog.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QFontMetrics>
#include <QLabel>
#include <QStatusBar>
#include <QStringList>

namespace {

// Shorter than the window's other temporary messages: an apply is routine.
constexpr int kSettingsMessageMs = 3000;

// The settings-file warning stays in the status bar until a save succeeds.
// It is elided to this width so that a long path never widens the window;
// the whole text is in its tool tip and in the settings dialog.
constexpr int kSettingsProblemWidthPx = 460;
const char* const kSettingsProblemStyle = "color: #ff6b6b; font-weight: bold; padding-right: 15px;";

QStringList toStringList(const std::vector<std::string>& names)
{
    QStringList list;
    for (const std::string& name : names)
        list << QString::fromStdString(name);
    return list;
}

} // namespace

void MainWindow::onSettingsClicked()
{
    if (!m_settingsDialog) {
        m_settingsDialog = new SettingsDialog(this);
        connect(m_settingsDialog, &SettingsDialog::settingsApplied, this, &MainWindow::onSettingsApplied);
    }
    m_settingsDialog->loadCurrentConfig();
    if (m_poseEstimator)
        m_settingsDialog->setEstimatorInfo(QString::fromStdString(m_poseEstimator->getActiveProviderName()),
                                           toStringList(m_poseEstimator->getAvailableProviders()));
    // Whatever the operator applies arrives through settingsApplied while
    // the dialog is still open.
    m_settingsDialog->exec();
}

void MainWindow::onSettingsApplied()
{
    const TeleopConfig* config = TeleopConfig::instance();

    // The capture thread must be joined before the estimator is reloaded:
    // a model is never swapped under a running inference.
    // A thread that does not end is reported, not waited on for ever; the
    // estimator's own lock still keeps a reload from meeting an inference.
    if (m_cameraThread)
        m_cameraThread->stopAndWait();

    const bool modelChanged = config->ai.provider != m_appliedProvider ||
                              config->ai.modelSource != m_appliedModelSource ||
                              config->ai.customModelPath != m_appliedCustomModelPath;
    if (modelChanged && m_poseEstimator) {
        // A failed load shows in the badges; the feed runs on meanwhile.
        m_poseEstimator->init(configuredModelPath(), config->ai.provider);
        m_appliedProvider = config->ai.provider;
        m_appliedModelSource = config->ai.modelSource;
        m_appliedCustomModelPath = config->ai.customModelPath;
        updateAiProviderBadges();
        // The dialog may still be open (Apply): its backend line follows.
        if (m_settingsDialog)
            m_settingsDialog->setEstimatorInfo(QString::fromStdString(m_poseEstimator->getActiveProviderName()),
                                               toStringList(m_poseEstimator->getAvailableProviders()));
    }

    // setInterval restarts a running timer with the new period.
    m_txTimer.setInterval(txIntervalMsFor(config->safety.txRateHz));
    restartCamera();
    applyTheme();
    applyViewerSettings();
    showSettingsFileProblem();
    recordEvent(session::EventLevel::Info, QStringLiteral("Settings applied"));

    const TeleopConfig::MqttConfig& mqtt = config->mqtt;
    const bool connectionUnchanged = mqtt.host == m_appliedMqttHost && mqtt.port == m_appliedMqttPort &&
                                     mqtt.username == m_appliedMqttUsername &&
                                     mqtt.password == m_appliedMqttPassword && mqtt.robotId == m_appliedRobotId &&
                                     mqtt.keepalive == m_appliedMqttKeepalive &&
                                     tlsSettingsOf(mqtt) == m_appliedMqttTls;
    if (connectionUnchanged) {
        statusBar()->showMessage(QStringLiteral("Settings applied successfully."), kSettingsMessageMs);
        return;
    }

    m_appliedMqttHost = mqtt.host;
    m_appliedMqttPort = mqtt.port;
    m_appliedMqttUsername = mqtt.username;
    m_appliedMqttPassword = mqtt.password;
    m_appliedRobotId = mqtt.robotId;
    m_appliedMqttKeepalive = mqtt.keepalive;
    m_appliedMqttTls = tlsSettingsOf(mqtt);
    connectMqtt();
    statusBar()->showMessage(QStringLiteral("Settings applied. Connecting to MQTT broker at %1:%2...")
                                 .arg(QString::fromStdString(mqtt.host))
                                 .arg(mqtt.port),
                             kSettingsMessageMs);
}

void MainWindow::applyViewerSettings()
{
    // The floor grid and the link flag are the operator's view options; the
    // axes, render mode and field of view stay as they are.
    const TeleopConfig::ViewConfig& view = TeleopConfig::instance()->view;
    if (m_viewer)
        m_viewer->setViewerConfig(view.showGrid, m_viewer->showAxes(), view.showRobotMeshes, m_viewer->renderMode(),
                                  m_viewer->fovDeg());
}

void MainWindow::showSettingsFileProblem()
{
    const QString problem = QString::fromStdString(TeleopConfig::instance()->loadProblem());
    if (!m_settingsProblemLabel) {
        if (problem.isEmpty())
            return;
        m_settingsProblemLabel = new QLabel(this);
        m_settingsProblemLabel->setObjectName(QStringLiteral("settingsProblemLabel"));
        m_settingsProblemLabel->setStyleSheet(QString::fromLatin1(kSettingsProblemStyle));
        statusBar()->addPermanentWidget(m_settingsProblemLabel);
    }
    // The end of the text names the kept copy: elided in the middle.
    m_settingsProblemLabel->setText(
        m_settingsProblemLabel->fontMetrics().elidedText(problem, Qt::ElideMiddle, kSettingsProblemWidthPx));
    m_settingsProblemLabel->setToolTip(problem);
    m_settingsProblemLabel->setVisible(!problem.isEmpty());
}
