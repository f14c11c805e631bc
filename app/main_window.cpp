#include "app/main_window.h"

#include "app/session_recorder.h"
#include "config/setting_ranges.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "robot/pose_retargeter.h"
#include "robot/urdf_limits.h"
#include "selfupdate/self_update_controller.h"
#include "ui/manual_joint_panel.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

#include <chrono>
#include <cstdlib>

namespace {

const char* const kResourceUrdf = ":/model/kestro.urdf";
const char* const kResourceCalibration = ":/model/calibration.json";
const char* const kWindowIcon = ":/icons/kestro_head.png";

const char* const kCameraNotStoppedText = "The camera thread did not stop; the camera was not restarted.";
// Small enough that the telemetry table keeps all its rows in view at the
// default window size.
constexpr QSize kViewMinimumSize(320, 240);

// Below 1 Hz the configured rate is meaningless; fall back to about 30 Hz.
constexpr int kTxTimerFallbackMs = 33;

const char* const kTeleopStandbyStyle =
    "font-weight: bold; padding: 6px 16px; background-color: #444; color: #fff; border-radius: 4px;";
const char* const kTeleopActiveStyle =
    "font-weight: bold; padding: 6px 16px; background-color: #008855; color: #fff; border-radius: 4px;";
const char* const kMqttDisconnectedStyle = "color: #ff5555; padding-right: 15px; font-weight: bold;";
const char* const kMqttConnectingStyle = "color: #ffaa00; padding-right: 15px; font-weight: bold;";
const char* const kMqttConnectedStyle = "color: #00ff88; padding-right: 15px; font-weight: bold;";
// Encrypted but unverified: working, and worth a second look.
const char* const kMqttUnverifiedStyle = "color: #ffcc00; padding-right: 15px; font-weight: bold;";
const char* const kVideoPanelStyle =
    "background-color: #1a1a1e; color: #e0e0e0; border: 1px solid #333; border-radius: 4px;";
const char* const kToolButtonStyle = "padding: 6px 12px;";
const char* const kStopButtonStyle =
    "background-color: #8b0000; color: #fff; font-weight: bold; padding: 6px 12px; border-radius: 4px;";

const char* const kLightThemeSheet =
    "QStatusBar { color: #222222; }QStatusBar QLabel#statusMessage { color: #222222; background: transparent; }";
const char* const kLightStatusStyle = "color: #222222;";
const char* const kDarkStatusStyle = "color: #e0e0e0;";

// The dark sheet as (selector, properties) rows; written out as
// "selector { p1; p2; }" with nothing between the rules.
struct StyleRule
{
    const char* selector;
    const char* properties;
};
const StyleRule kDarkThemeRules[] = {
    {"QMainWindow", "background-color: #1e1e24; color: #e0e0e0"},
    {"QWidget", "color: #e0e0e0"},
    {"QLabel", "color: #e0e0e0"},
    {"QToolBar", "background-color: #26262e; color: #e0e0e0; border-bottom: 1px solid #333; spacing: 8px; padding: 4px"},
    {"QToolBar QLabel", "color: #e0e0e0"},
    {"QMenuBar", "background-color: #26262e; color: #e0e0e0; border-bottom: 1px solid #333"},
    {"QMenuBar::item", "color: #e0e0e0"},
    {"QMenuBar::item:selected", "background-color: #383842; color: #ffffff"},
    {"QMenu", "background-color: #26262e; color: #e0e0e0; border: 1px solid #444"},
    {"QMenu::item", "color: #e0e0e0"},
    {"QMenu::item:selected", "background-color: #00ADB5; color: #ffffff"},
    {"QTableWidget", "background-color: #16161a; alternate-background-color: #1f1f24; color: #ddd; gridline-color: #333; "
                     "border: 1px solid #333"},
    {"QHeaderView::section", "background-color: #282830; color: #e0e0e0; padding: 4px; border: 1px solid #333; "
                             "font-weight: bold"},
    {"QStatusBar", "background-color: #1a1a1e; color: #e0e0e0"},
    {"QStatusBar QLabel#statusMessage", "color: #e0e0e0; background: transparent"},
    {"QPushButton", "background-color: #33333d; color: #fff; border: 1px solid #4a4a55; border-radius: 4px; "
                    "padding: 5px 12px"},
    {"QPushButton:hover", "background-color: #3d3d4a; border-color: #00ADB5"},
    {"QPushButton:pressed", "background-color: #222228"},
    {"QCheckBox", "color: #e0e0e0"},
    {"QRadioButton", "color: #e0e0e0"},
    {"QGroupBox", "color: #e0e0e0; border: 1px solid #444; margin-top: 8px"},
    {"QGroupBox::title", "color: #e0e0e0"},
    {"QTabWidget::pane", "border: 1px solid #444; background-color: #1e1e24"},
    {"QTabBar::tab", "color: #e0e0e0; background-color: #26262e; padding: 6px 12px; border: 1px solid #444"},
    {"QTabBar::tab:selected", "color: #ffffff; background-color: #383842"},
    {"QLineEdit", "color: #e0e0e0; background-color: #16161a; border: 1px solid #444; padding: 3px"},
    {"QSpinBox, QDoubleSpinBox, QAbstractSpinBox", "color: #e0e0e0; background-color: #16161a; border: 1px solid #444"},
    {"QComboBox", "color: #e0e0e0; background-color: #16161a; border: 1px solid #444"},
    {"QComboBox QAbstractItemView", "color: #e0e0e0; background-color: #26262e"},
    {"QDialog", "background-color: #1e1e24; color: #e0e0e0"},
    {"QMessageBox", "background-color: #26262e; color: #e0e0e0"},
    {"QMessageBox QLabel", "color: #e0e0e0"},
    {"QSplitter::handle", "background-color: #333"},
};

QString darkThemeSheet()
{
    QString sheet;
    for (const StyleRule& rule : kDarkThemeRules)
        sheet += QString::fromLatin1(rule.selector) + " { " + QString::fromLatin1(rule.properties) + "; }";
    return sheet;
}

bool environmentSet(const char* name)
{
    // Present with any value, even an empty one.
    return std::getenv(name) != nullptr;
}

QPushButton* toolButton(const QString& text, const char* style, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setStyleSheet(QString::fromLatin1(style));
    return button;
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : MainWindow(nullptr, parent)
{
}

MainWindow::MainWindow(std::shared_ptr<selfupdate::SelfUpdateController> controller, QWidget* parent,
                       RunOptions options)
    : QMainWindow(parent), m_selfUpdateController(std::move(controller)), m_runOptions(std::move(options))
{
    const bool controllerHandedIn = m_selfUpdateController != nullptr;
    removeStaleUpdateBackup();

    UrdfLimits* limits = UrdfLimits::instance();
    limits->init(kResourceUrdf, kResourceCalibration);
    m_motion.centre();
    for (int channel = 0; channel < kServoCount; ++channel) {
        m_telemetryPwm[channel] = m_motion.commandedPwm()[channel];
        m_telemetryAngles[channel] = m_motion.commandedAngles()[channel];
    }

    setWindowTitle(QStringLiteral("Kestro Teleoperation Dashboard v%1").arg(QString::fromLatin1(kVersion)));
    setWindowIcon(QIcon(QString::fromLatin1(kWindowIcon)));
    resize(1280, 800);

    TeleopConfig* config = TeleopConfig::instance();
    config->load("");

    m_poseEstimator = std::make_shared<PoseEstimator>();
    if (!environmentSet("KESTRO_DISABLE_AUTO_CAMERA")) {
        // The outcome shows in the provider badges; a failed load leaves the
        // feed running without inference.
        m_poseEstimator->init(configuredModelPath(), config->ai.provider);
    }

    m_startSourceType = config->camera.sourceType;
    m_startMediaLocation = config->camera.mediaLocation;
    m_appliedProvider = config->ai.provider;
    m_appliedModelSource = config->ai.modelSource;
    m_appliedCustomModelPath = config->ai.customModelPath;
    m_appliedMqttHost = config->mqtt.host;
    m_appliedMqttPort = config->mqtt.port;
    m_appliedMqttUsername = config->mqtt.username;
    m_appliedMqttPassword = config->mqtt.password;
    m_appliedRobotId = config->mqtt.robotId;
    m_appliedMqttKeepalive = config->mqtt.keepalive;
    m_appliedMqttTls = tlsSettingsOf(config->mqtt);

    m_retargeter = std::make_unique<PoseRetargeter>();

    // Queued even for signals emitted on this thread: the client's callbacks
    // run on its network thread, and every slot must run on the GUI thread.
    m_mqttClient = new MqttClient(this);
    connect(m_mqttClient, &MqttClient::connected, this, &MainWindow::onMqttConnected, Qt::QueuedConnection);
    connect(m_mqttClient, &MqttClient::disconnected, this, &MainWindow::onMqttDisconnected, Qt::QueuedConnection);
    connect(m_mqttClient, &MqttClient::connectionError, this, &MainWindow::onMqttError, Qt::QueuedConnection);
    connect(m_mqttClient, &MqttClient::messageSent, this, &MainWindow::onMqttMessageSent, Qt::QueuedConnection);
    connect(m_mqttClient, &MqttClient::telemetryReceived, this, &MainWindow::onTelemetryReceived,
            Qt::QueuedConnection);

    setupUi();
    setupMenusAndToolbars();
    setupManualControl();
    setupPlayback();
    setupTelemetryTable();
    applyTheme();
    updateAiProviderBadges();
    setupStatusWidgets();
    applyViewerSettings();
    showSettingsFileProblem();

    m_cameraThread = new CameraThread(m_poseEstimator, this);
    connect(m_cameraThread, &CameraThread::frameReady, this, &MainWindow::onFrameReady);
    connect(m_cameraThread, &CameraThread::cameraError, this, &MainWindow::onCameraError);
    connect(m_cameraThread, &CameraThread::cameraFrozen, this, &MainWindow::onCameraFrozen);
    if (!environmentSet("KESTRO_DISABLE_AUTO_CAMERA"))
        restartCamera();

    m_txTimer.setInterval(txIntervalMsFor(config->safety.txRateHz));
    // The tick is the rate cap: a coarse timer may fire 5 % early.
    m_txTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_txTimer, &QTimer::timeout, this, &MainWindow::onTxTimerTimeout);
    m_txTimer.start();

    if (!controllerHandedIn && !environmentSet("KESTRO_DISABLE_AUTO_MQTT") && config->mqtt.autoConnect)
        connectMqtt();

    startSelfUpdate();
}

MainWindow::~MainWindow()
{
    if (m_selfUpdateController) {
        // The controller may outlive the window (a test holds it): it must
        // never call back into a destroyed window.
        m_selfUpdateController->setStateCallback({});
        m_selfUpdateController->setQuitCallback({});
        m_selfUpdateController->setUiDispatcher({});
        m_selfUpdateController->cancel();
        m_selfUpdateController.reset();
    }
    if (m_cameraThread && !m_cameraThread->stopAndWait()) {
        // Destroying a running thread would abort the process: let it go and
        // delete itself once its pass ends.
        m_cameraThread->setParent(nullptr);
        connect(m_cameraThread, &QThread::finished, m_cameraThread, &QObject::deleteLater);
    }
}

int MainWindow::txIntervalMsFor(int txRateHz)
{
    // Bounded like the dialog's rate: a hand-edited 5000 Hz would make a
    // 0 ms timer that spins the GUI thread.
    return txRateHz < 1 ? kTxTimerFallbackMs : 1000 / setting_ranges::kTxRateHz.bound(txRateHz, 30);
}

std::string MainWindow::configuredModelPath()
{
    const TeleopConfig::AiConfig& ai = TeleopConfig::instance()->ai;
    if (ai.modelSource == "custom" && !ai.customModelPath.empty())
        return ai.customModelPath;
    return PoseEstimator::kEmbeddedModelPath;
}

std::int64_t MainWindow::monotonicNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void MainWindow::setupUi()
{
    auto* central = new QWidget(this);
    auto* centralLayout = new QVBoxLayout(central);
    centralLayout->setContentsMargins(8, 8, 8, 8);
    centralLayout->setSpacing(8);

    auto* verticalSplitter = new QSplitter(Qt::Vertical, central);
    auto* horizontalSplitter = new QSplitter(Qt::Horizontal, verticalSplitter);

    auto* cameraPanel = new QWidget(horizontalSplitter);
    auto* cameraLayout = new QVBoxLayout(cameraPanel);
    cameraLayout->setContentsMargins(4, 4, 4, 4);
    auto* cameraHeader = new QHBoxLayout();
    cameraHeader->addWidget(new QLabel(QStringLiteral("<b>RGB Camera Feed & Pose Estimation</b>"), cameraPanel));
    cameraHeader->addStretch();
    m_aiBadge = new QLabel(cameraPanel);
    cameraHeader->addWidget(m_aiBadge);
    m_fpsLabel = new QLabel(QStringLiteral("FPS: --"), cameraPanel);
    m_fpsLabel->setStyleSheet(QStringLiteral("color: #00ADB5; font-weight: bold;"));
    cameraHeader->addWidget(m_fpsLabel);
    cameraLayout->addLayout(cameraHeader);
    m_videoLabel = new QLabel(QStringLiteral("Waiting for camera feed..."), cameraPanel);
    m_videoLabel->setAlignment(Qt::AlignCenter);
    m_videoLabel->setMinimumSize(kViewMinimumSize);
    m_videoLabel->setStyleSheet(QString::fromLatin1(kVideoPanelStyle));
    // The picture takes the panel's spare height, the header keeps its own.
    cameraLayout->addWidget(m_videoLabel, 1);

    auto* viewerPanel = new QWidget(horizontalSplitter);
    auto* viewerLayout = new QVBoxLayout(viewerPanel);
    viewerLayout->setContentsMargins(4, 4, 4, 4);
    viewerLayout->addWidget(new QLabel(QStringLiteral("<b>3D URDF Digital Twin (Forward Kinematics)</b>"), viewerPanel));
    m_viewer = new UrdfViewerWidget(viewerPanel);
    m_viewer->setMinimumSize(kViewMinimumSize);
    viewerLayout->addWidget(m_viewer, 1);

    auto* telemetryPanel = new QWidget(verticalSplitter);
    auto* telemetryLayout = new QVBoxLayout(telemetryPanel);
    telemetryLayout->setContentsMargins(4, 4, 4, 4);
    telemetryLayout->addWidget(
        new QLabel(QStringLiteral("<b>17-Channel Servo Telemetry & Safety Limit Monitor</b>"), telemetryPanel));
    m_telemetryTable = new QTableWidget(telemetryPanel);
    telemetryLayout->addWidget(m_telemetryTable, 1);

    horizontalSplitter->addWidget(cameraPanel);
    horizontalSplitter->addWidget(viewerPanel);
    horizontalSplitter->setSizes({500, 500});
    verticalSplitter->addWidget(horizontalSplitter);
    verticalSplitter->addWidget(telemetryPanel);
    // The table asks for the height of all its rows; the views take the rest
    // and any height the window gains.
    verticalSplitter->setStretchFactor(0, 1);
    verticalSplitter->setStretchFactor(1, 0);
    centralLayout->addWidget(verticalSplitter);
    setCentralWidget(central);

    m_updateBadge = new QPushButton(this);
    m_updateBadge->setObjectName(QStringLiteral("updateStatusBadge"));
    m_updateBadge->hide();
    statusBar()->addPermanentWidget(m_updateBadge);
    m_aiStatusLabel = new QLabel(this);
    statusBar()->addPermanentWidget(m_aiStatusLabel);
    m_mqttStatusLabel = new QLabel(QStringLiteral("MQTT: Disconnected"), this);
    m_mqttStatusLabel->setStyleSheet(QString::fromLatin1(kMqttDisconnectedStyle));
    statusBar()->addPermanentWidget(m_mqttStatusLabel);
    m_statusLabel = new QLabel(QStringLiteral("Ready. Teleoperation is STANDBY."), this);
    m_statusLabel->setObjectName(QStringLiteral("statusMessage"));
    m_statusLabel->setStyleSheet(QString::fromLatin1(kDarkStatusStyle));
    statusBar()->addWidget(m_statusLabel);
    // The message line gives way to a temporary message and comes back after
    // it. The status bar hides it by itself only in some orders of showing
    // and messaging, and two texts on top of each other are unreadable.
    connect(statusBar(), &QStatusBar::messageChanged, m_statusLabel,
            [this](const QString& message) { m_statusLabel->setVisible(message.isEmpty()); });
}

void MainWindow::setupMenusAndToolbars()
{
    QMenu* fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    connect(fileMenu->addAction(QStringLiteral("&Settings...")), &QAction::triggered, this,
            &MainWindow::onSettingsClicked);
    fileMenu->addSeparator();
    connect(fileMenu->addAction(QStringLiteral("E&xit")), &QAction::triggered, this, &QWidget::close);

    QMenu* robotMenu = menuBar()->addMenu(QStringLiteral("&Robot"));
    connect(robotMenu->addAction(QStringLiteral("&Center All Servos")), &QAction::triggered, this,
            &MainWindow::onCenterClicked);
    connect(robotMenu->addAction(QStringLiteral("&Relax (Torque Off)")), &QAction::triggered, this,
            &MainWindow::onRelaxClicked);
    connect(robotMenu->addAction(QStringLiteral("&Emergency Stop")), &QAction::triggered, this,
            &MainWindow::onStopClicked);

    QMenu* helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    connect(helpMenu->addAction(QStringLiteral("Check for Updates...")), &QAction::triggered, this,
            &MainWindow::onCheckForUpdatesClicked);
    helpMenu->addSeparator();
    connect(helpMenu->addAction(QStringLiteral("&About Kestro Teleop")), &QAction::triggered, this,
            &MainWindow::onAboutClicked);

    QToolBar* toolBar = addToolBar(QStringLiteral("Controls"));
    toolBar->setMovable(false);

    // The stop comes first, where nothing that changes its text can push it
    // aside (setupStatusWidgets fixes the sizes).
    m_stopButton = toolButton(QStringLiteral("EMERGENCY STOP"), kStopButtonStyle, toolBar);
    connect(m_stopButton, &QPushButton::clicked, this, &MainWindow::onStopClicked);
    toolBar->addWidget(m_stopButton);
    toolBar->addSeparator();

    m_teleopButton = toolButton(QStringLiteral("Teleoperation: STANDBY"), kTeleopStandbyStyle, toolBar);
    m_teleopButton->setCheckable(true);
    m_teleopButton->setMinimumHeight(36);
    connect(m_teleopButton, &QPushButton::clicked, this, &MainWindow::onTeleopToggleClicked);
    toolBar->addWidget(m_teleopButton);
    toolBar->addSeparator();

    m_centerButton = toolButton(QStringLiteral("Center (Neutral)"), kToolButtonStyle, toolBar);
    connect(m_centerButton, &QPushButton::clicked, this, &MainWindow::onCenterClicked);
    toolBar->addWidget(m_centerButton);
    m_relaxButton = toolButton(QStringLiteral("Relax (Torque Off)"), kToolButtonStyle, toolBar);
    connect(m_relaxButton, &QPushButton::clicked, this, &MainWindow::onRelaxClicked);
    toolBar->addWidget(m_relaxButton);
    toolBar->addSeparator();

    QPushButton* settingsButton = toolButton(QStringLiteral("Settings"), kToolButtonStyle, toolBar);
    connect(settingsButton, &QPushButton::clicked, this, &MainWindow::onSettingsClicked);
    toolBar->addWidget(settingsButton);

    setupRecording(robotMenu, toolBar);
}

void MainWindow::applyTheme()
{
    if (TeleopConfig::instance()->view.darkTheme) {
        setStyleSheet(darkThemeSheet());
        m_statusLabel->setStyleSheet(QString::fromLatin1(kDarkStatusStyle));
    } else {
        setStyleSheet(QString::fromLatin1(kLightThemeSheet));
        m_statusLabel->setStyleSheet(QString::fromLatin1(kLightStatusStyle));
    }
    // The video panel stays dark in both themes: a camera picture reads best on black.
    m_videoLabel->setStyleSheet(QString::fromLatin1(kVideoPanelStyle));
}

void MainWindow::restartCamera()
{
    if (!m_cameraThread)
        return;
    if (!m_cameraThread->stopAndWait()) {
        statusBar()->showMessage(QString::fromLatin1(kCameraNotStoppedText), kStatusMessageMs);
        return;
    }
    m_cameraErrorSinceRestart = false;
    m_cameraFramesSinceRestart = 0;
    // Bounded like the dialog's choices: a hand-edited size or rate must not
    // make frames of gigabytes or a loop that never sleeps.
    using namespace setting_ranges;
    const TeleopConfig* config = TeleopConfig::instance();
    const TeleopConfig::CameraConfig& camera = config->camera;
    m_cameraThread->setCameraConfig(camera.deviceIndex, kFrameWidth.bound(camera.width, 640),
                                    kFrameHeight.bound(camera.height, 480), kTargetFps.bound(camera.targetFps, 30),
                                    camera.mirrorVideo && !m_playback); // a recording's pictures are as stored
    applyVideoSource();
    m_cameraThread->setInferenceParams(static_cast<float>(kThreshold.bound(config->ai.confThreshold, 0.5)),
                                       static_cast<float>(kThreshold.bound(config->ai.kptThreshold, 0.4)),
                                       config->ai.targetSelection, config->view.showSkeleton);
    m_cameraThread->start();
}

bool MainWindow::connectMqtt()
{
    const TeleopConfig::MqttConfig& mqtt = TeleopConfig::instance()->mqtt;
    m_mqttClient->disconnectFromBroker();
    m_mqttClient->setRobotId(QString::fromStdString(mqtt.robotId));
    const QString host = QString::fromStdString(mqtt.host);
    resetRobotPresence();
    m_mqttStatusLabel->setText(QStringLiteral("MQTT: Connecting to %1:%2...").arg(host).arg(mqtt.port));
    m_mqttStatusLabel->setStyleSheet(QString::fromLatin1(kMqttConnectingStyle));
    m_mqttStatusLabel->setToolTip({});
    m_mqttClient->setTlsSettings(tlsSettingsOf(mqtt));
    const bool started = m_mqttClient->connectToBroker(host, mqtt.port, QString::fromStdString(mqtt.username),
                                                       QString::fromStdString(mqtt.password), mqtt.keepalive);
    const bool badPort = mqtt.port < 1 || mqtt.port > 65535;
    // Nothing will be retried: the label must not promise a connection. Other
    // refusals (unreadable TLS files) the client reports itself.
    if (!started && (badPort || mqtt.host.empty()))
        showMqttFailure(badPort ? QStringLiteral("MQTT connection error: port %1 is out of range (1-65535)").arg(mqtt.port)
                                : QStringLiteral("MQTT connection error: no broker host set"));
    return started;
}

void MainWindow::onCameraError(const QString& message)
{
    if (noteCameraError(message))
        statusBar()->showMessage(message, kStatusMessageMs);
}

void MainWindow::onCameraFrozen(bool frozen)
{
    if (m_playback) {
        // A paused recording repeats its picture like a frozen camera; the
        // operator paused it, so nothing is wrong with any camera.
        m_statusLabel->setText(frozen ? QStringLiteral("Playback paused: no new pictures. Motion streaming paused.")
                                      : QStringLiteral("Playback running."));
        return;
    }
    // The watchdog stops the stream by itself (a repeated picture carries no
    // pose); this tells the operator why.
    m_statusLabel->setText(QString::fromLatin1(frozen ? kCameraFrozenText : kCameraDeliveringText));
}

void MainWindow::onMqttConnected()
{
    const TeleopConfig::MqttConfig& mqtt = TeleopConfig::instance()->mqtt;
    const MqttTlsSettings& tls = m_mqttClient->tlsSettings();
    const QString endpoint = QStringLiteral("%1:%2").arg(QString::fromStdString(mqtt.host)).arg(mqtt.port);
    if (tls.enabled && tls.insecure)
        m_mqttStatusLabel->setText(QStringLiteral("MQTT: Connected (TLS, unverified)"));
    else if (tls.enabled)
        m_mqttStatusLabel->setText(QStringLiteral("MQTT: Connected (TLS, %1)").arg(endpoint));
    else
        m_mqttStatusLabel->setText(QStringLiteral("MQTT: Connected (%1)").arg(endpoint));
    m_mqttStatusLabel->setStyleSheet(
        QString::fromLatin1(tls.enabled && tls.insecure ? kMqttUnverifiedStyle : kMqttConnectedStyle));
    m_mqttStatusLabel->setToolTip({});
    m_lastMqttError.clear();
    m_statusLabel->setText(QStringLiteral("MQTT broker connected. Ready for teleoperation."));
    recordEvent(session::EventLevel::Info, m_mqttStatusLabel->text());
}

void MainWindow::onMqttDisconnected()
{
    m_mqttStatusLabel->setText(QStringLiteral("MQTT: Disconnected"));
    m_mqttStatusLabel->setStyleSheet(QString::fromLatin1(kMqttDisconnectedStyle));
    m_statusLabel->setText(QStringLiteral("MQTT broker disconnected."));
    recordEvent(session::EventLevel::Warning, m_mqttStatusLabel->text());
}

void MainWindow::onMqttError(const QString& message)
{
    showMqttFailure(message);
    recordEvent(session::EventLevel::Error, QStringLiteral("MQTT error: %1").arg(message));
}

void MainWindow::onMqttMessageSent(int /*bytes*/)
{
    m_sentFrameTimes.push_back(monotonicNowMs());
}

void MainWindow::onTeleopToggleClicked()
{
    if (m_robotStopped && m_teleopButton->isChecked()) {
        // The robot ignores motion after a stop until it is centred; claiming
        // to stream now would be a lie.
        m_teleopButton->setChecked(false);
        m_statusLabel->setText(QStringLiteral("Robot is STOPPED: press Center to re-arm."));
        return;
    }
    m_teleopActive = m_teleopButton->isChecked();
    // While driving, a frozen broker must be noticed within 2 s.
    m_mqttClient->setFastLiveness(m_teleopActive);
    if (m_teleopActive) {
        m_teleopButton->setText(QStringLiteral("Teleoperation: ACTIVE (STREAMING)"));
        m_teleopButton->setStyleSheet(QString::fromLatin1(kTeleopActiveStyle));
        // The robot may have moved meanwhile: the first frame carries every channel.
        m_mqttClient->resetPwmTxCache();
        m_statusLabel->setText(QStringLiteral("Teleoperation ACTIVE. Streaming motion commands to robot."));
    } else {
        m_teleopButton->setText(QStringLiteral("Teleoperation: STANDBY"));
        m_teleopButton->setStyleSheet(QString::fromLatin1(kTeleopStandbyStyle));
        m_statusLabel->setText(QStringLiteral("Teleoperation STANDBY. Motion transmission paused."));
    }
    recordEvent(session::EventLevel::Info,
                m_teleopActive ? QStringLiteral("Teleoperation ACTIVE") : QStringLiteral("Teleoperation STANDBY"));
}

void MainWindow::onCenterClicked()
{
    const bool sent = m_mqttClient->sendCenter(m_mqttClient->controlTopic());
    if (sent) {
        // The robot goes to its centres by itself: ramps start there again,
        // and every channel is worth sending anew.
        m_motion.centre();
        m_mqttClient->resetPwmTxCache();
        noteCenterResult(true);
        m_statusLabel->setText(QStringLiteral("Sent CENTER command to robot."));
    } else
        m_statusLabel->setText(m_mqttClient->lastError());
    recordEvent(sent ? session::EventLevel::Info : session::EventLevel::Warning,
                sent ? QStringLiteral("Center sent") : QStringLiteral("Center not sent: %1").arg(m_mqttClient->lastError()));
}

void MainWindow::onRelaxClicked()
{
    const bool sent = m_mqttClient->sendRelax(m_mqttClient->controlTopic());
    m_statusLabel->setText(sent ? QStringLiteral("Sent RELAX (torque off) command to robot.")
                                : m_mqttClient->lastError());
    recordEvent(sent ? session::EventLevel::Info : session::EventLevel::Warning,
                sent ? QStringLiteral("Relax sent") : QStringLiteral("Relax not sent: %1").arg(m_mqttClient->lastError()));
}

void MainWindow::onStopClicked()
{
    // Streaming must be off before the stop goes out, or the next tick would
    // drive the robot again.
    if (m_teleopActive) {
        m_teleopButton->setChecked(false);
        onTeleopToggleClicked();
    }
    stopCommandReplay(QString());
    // Hold must not bring the robot back either when streaming resumes.
    if (manualControlActive())
        m_manualPanel->releaseManualControl();
    const bool delivered = m_mqttClient->sendStop(m_mqttClient->controlTopic());
    if (delivered)
        m_statusLabel->setText(QStringLiteral("EMERGENCY STOP TRIGGERED!"));
    else
        m_statusLabel->setText(m_mqttClient->lastError());
    noteStopResult(delivered);
    recordEvent(delivered ? session::EventLevel::Warning : session::EventLevel::Error,
                delivered ? QStringLiteral("Emergency stop: delivered")
                          : QStringLiteral("Emergency stop: NOT delivered (%1)").arg(m_mqttClient->lastError()));
}

void MainWindow::onFrameReady(const QImage& frame, const PoseEstimator::PersonPose& pose)
{
    // Scaled as the camera's 24-bit image, then made a pixmap: scaling the
    // pixmap (32-bit) smoothly near 1:1 cost up to 9 ms of the GUI thread per
    // frame, the 24-bit image about 1.5 ms.
    m_videoLabel->setPixmap(QPixmap::fromImage(
        frame.scaled(m_videoLabel->size(), Qt::KeepAspectRatio, Qt::SmoothTransformation)));
    if (m_cameraThread)
        m_fpsLabel->setText(QStringLiteral("FPS: %1").arg(m_cameraThread->getActualFps(), 0, 'f', 1));
    noteCameraFrame();
    m_personInView = pose.valid;

    // While the sliders or a command replay drive the robot, the camera only shows.
    if (!pose.valid || manualControlActive() || m_replayingCommands)
        return;
    const TeleopConfig* config = TeleopConfig::instance();
    const MotionStream::Settings settings = motionSettings();
    const auto alpha = static_cast<float>(setting_ranges::kSmoothingAlpha.bound(config->retarget.smoothingAlpha, 0.35));
    const auto deadband = static_cast<float>(setting_ranges::kDeadbandDeg.bound(config->retarget.deadbandDeg, 1.0));
    const RetargetResult result = m_retargeter->process(pose, poseMirrored(), alpha, deadband,
                                                        static_cast<float>(settings.safetyMarginDeg), settings.mode);
    if (result.ok)
        commandJointTargets(result.angles, result.valid);
}

bool MainWindow::commandJointTargets(const JointAngleArray& angles, const ServoValidArray& channels)
{
    if (!m_motion.setTarget(angles, channels, monotonicNowMs()))
        return false;
    // Waiting for the next tick would cost half a period on average: a new
    // target goes out at once when a full period has passed since the last
    // transmission; otherwise the tick at the end of that period carries it.
    const qint64 periodNs = static_cast<qint64>(m_txTimer.interval()) * 1000000;
    if (!m_sinceTransmit.isValid() || m_sinceTransmit.nsecsElapsed() >= periodNs)
        transmitTarget();
    return true;
}

ServoPwmArray MainWindow::targetPwm() const
{
    const UrdfLimits* limits = UrdfLimits::instance();
    const double margin = motionSettings().safetyMarginDeg;
    ServoPwmArray pwm{};
    for (int channel = 0; channel < kServoCount; ++channel) {
        pwm[channel] = m_motion.targetChannels()[channel]
                           ? limits->angleToPwm(channel, m_motion.targetAngles()[channel], margin)
                           : limits->getCalibration(channel).center;
    }
    return pwm;
}

MotionStream::Settings MainWindow::motionSettings()
{
    const TeleopConfig* config = TeleopConfig::instance();
    MotionStream::Settings settings;
    settings.periodMs = txIntervalMsFor(config->safety.txRateHz);
    settings.watchdogTimeoutMs = setting_ranges::kWatchdogTimeoutMs.bound(config->safety.watchdogTimeoutMs, 500);
    const double speed = config->retarget.maxVelocityDegS;
    settings.maxVelocityDegS = speed > 0.0 ? setting_ranges::kMaxVelocityDegS.bound(speed, 180.0) : speed;
    settings.safetyMarginDeg = setting_ranges::kSafetyMarginDeg.bound(config->safety.safetyMarginDeg, 2.0);
    settings.mode = config->retarget.mode;
    settings.stancePreset = config->retarget.stancePreset;
    return settings;
}

void MainWindow::onTxTimerTimeout()
{
    holdManualTarget();
    feedRecordedCommand();
    transmitTarget();
}

void MainWindow::transmitTarget()
{
    if (!m_teleopActive || !m_mqttClient->isConnected()) {
        recordCommandTick(!m_teleopActive ? "standby" : "disconnected");
        return;
    }
    // No target yet, or a stale one: send nothing and say nothing; the robot
    // holds its last command and streaming resumes with the next usable frame.
    const std::optional<MotionStream::Frame> frame = m_motion.nextFrame(monotonicNowMs(), motionSettings());
    if (!frame) {
        recordCommandTick(m_motion.hasTarget() ? "watchdog" : "no_target");
        return;
    }
    // The next tick comes one full period after this transmission, so the
    // timer stays the rate cap whichever path sent, and no two ramp steps
    // leave closer together than one period. A tick that only repeats the
    // last command puts nothing on the wire and does not count: otherwise
    // every camera target arriving after it would wait for the next tick.
    if (frame->pwm != m_motion.commandedPwm()) {
        m_sinceTransmit.start();
        m_txTimer.start();
    }
    ServoValidArray channels = frame->channels;
    const bool sent = m_mqttClient->sendPwm(frame->pwm, m_mqttClient->controlTopic(), &channels);
    if (sent)
        m_motion.commit(*frame);
    else
        m_statusLabel->setText(m_mqttClient->lastError());
    recordCommandTick(sent ? "sent" : "send_failed", &*frame);
}
