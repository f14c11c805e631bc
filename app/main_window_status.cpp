// What the window tells the operator about the link, the robot and the
// stream, so that every word and colour on screen can be believed: the
// stream-state line beside the toggle, the robot presence badge, stale
// telemetry marks, the emergency stop's size, shortcut, latch and alarm, the
// connection menu entries and failure texts, and the camera test-feed badge.
#include "app/main_window.h"

#include "app/stream_state.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "robot/motion_stream.h"
#include "ui/urdf_viewer_widget.h"
#include "vision/camera_thread.h"

#include <QApplication>
#include <QBoxLayout>
#include <QFrame>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTableWidget>
#include <QToolBar>

#include <algorithm>
#include <cmath>
#include <functional>

namespace {

// At least four times a second, as the operator reads the line.
constexpr int kStatusRefreshMs = 250;
constexpr std::int64_t kFrameRateWindowMs = 1000;
constexpr std::int64_t kTelemetryRateWindowMs = 2000;
// After a camera restart, this many frames without an open error mean the
// camera is real again (a few frames of the previous run may still arrive).
constexpr int kFramesBeforeCameraTrusted = 15;
// The telemetry columns that show what the robot reported.
constexpr int kReportedColumns[] = {2, 3};

const char* const kBadgeOnlineStyle = "color: #00ff88; padding-right: 15px; font-weight: bold;";
const char* const kBadgeWaitingStyle = "color: #ffaa00; padding-right: 15px; font-weight: bold;";
const char* const kBadgeSilentStyle = "color: #ff5555; padding-right: 15px; font-weight: bold;";
const char* const kMqttFailedStyle = "color: #ff5555; padding-right: 15px; font-weight: bold;";
const char* const kStaleCaptionStyle = "color: #ffaa00; font-weight: bold;";
const char* const kCameraBadgeStyle = "background-color: #2b2106; color: #ffc107; border: 1px solid #b28900; "
                                      "border-radius: 4px; padding: 2px 8px; font-weight: bold; font-size: 11px;";
const char* const kAlarmBarStyle = "QFrame#stopAlarm { background-color: #b00000; border-radius: 4px; }"
                                   "QFrame#stopAlarm QLabel { color: #ffffff; font-weight: bold; font-size: 14px; }";
const QColor kStaleCellColour(0x77, 0x77, 0x77);
// Two lines of the longest state text; the bar must still fit a 1280-pixel window.
constexpr int kStreamLineWidth = 250;
constexpr int kStopButtonHeight = 48;
constexpr int kStopButtonFontGrowth = 4;

// Sees every key press of the application, also those meant for a modal
// dialog, which would block a shortcut owned by the main window.
class EmergencyStopKey : public QObject
{
public:
    EmergencyStopKey(std::function<void()> stop, QObject* parent)
        : QObject(parent), m_stop(std::move(stop))
    {
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == MainWindow::kEmergencyStopKey) {
                if (!key->isAutoRepeat())
                    m_stop();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

private:
    std::function<void()> m_stop;
};

void dropOlderThan(std::deque<std::int64_t>& times, std::int64_t limit)
{
    while (!times.empty() && times.front() < limit)
        times.pop_front();
}

// The cause in a connection error, short enough for the status bar: no
// boilerplate, no code, no advice (the tooltip keeps the whole message).
QString failureReason(const QString& message)
{
    static const QRegularExpression prefix(QStringLiteral("^MQTT [Cc]onnection (failed|error):\\s*"));
    static const QRegularExpression code(QStringLiteral("\\s*\\(code \\d+\\)$"));
    static const QRegularExpression advice(QStringLiteral("\\s*\\((is the|check the) [^)]*\\)$"));
    return QString(message).remove(prefix).remove(code).remove(advice);
}

void setTextIfChanged(QLabel* label, const QString& text, const QString& style)
{
    if (label->text() != text)
        label->setText(text);
    if (label->styleSheet() != style)
        label->setStyleSheet(style);
}

QBoxLayout* boxLayoutOf(QWidget* widget)
{
    return widget && widget->parentWidget() ? qobject_cast<QBoxLayout*>(widget->parentWidget()->layout()) : nullptr;
}

} // namespace

void MainWindow::setupStatusWidgets()
{
    auto* toolBar = qobject_cast<QToolBar*>(m_teleopButton->parentWidget());

    // A focused tool-bar button would fire on Space: one stray key press
    // must never start streaming.
    for (QPushButton* button : toolBar->findChildren<QPushButton*>())
        button->setFocusPolicy(Qt::NoFocus);

    // The toggle keeps one width whatever it says, so nothing beside it moves.
    m_teleopButton->ensurePolished();
    const QString current = m_teleopButton->text();
    int toggleWidth = 0;
    for (const QString& text : {QStringLiteral("Teleoperation: STANDBY"), QStringLiteral("Teleoperation: ACTIVE (STREAMING)")}) {
        m_teleopButton->setText(text);
        toggleWidth = std::max(toggleWidth, m_teleopButton->sizeHint().width());
    }
    m_teleopButton->setText(current);
    m_teleopButton->setFixedWidth(toggleWidth);

    // The stop is the largest control, first in the bar.
    QFont stopFont = m_stopButton->font();
    stopFont.setPointSize(stopFont.pointSize() + kStopButtonFontGrowth);
    m_stopButton->setFont(stopFont);
    m_stopButton->ensurePolished();
    m_stopButton->setFixedSize(std::max(m_stopButton->sizeHint().width(), toggleWidth), kStopButtonHeight);
    const QString keyName = QKeySequence(kEmergencyStopKey).toString(QKeySequence::NativeText);
    m_stopButton->setToolTip(QStringLiteral("Stops the robot at once. Shortcut: %1, from anywhere in the "
                                            "application, also while a dialog is open.")
                                 .arg(keyName));
    qApp->installEventFilter(new EmergencyStopKey([this] { onStopClicked(); }, this));

    // The stream line sits right after the toggle, at a fixed width.
    m_streamStateLabel = new QLabel(toolBar);
    m_streamStateLabel->setObjectName(QStringLiteral("streamState"));
    m_streamStateLabel->setFixedWidth(kStreamLineWidth);
    m_streamStateLabel->setWordWrap(true);
    const QList<QAction*> actions = toolBar->actions();
    for (int index = 0; index < actions.size(); ++index) {
        if (toolBar->widgetForAction(actions[index]) == m_teleopButton) {
            toolBar->insertWidget(index + 1 < actions.size() ? actions[index + 1] : nullptr, m_streamStateLabel);
            break;
        }
    }

    // The alarm for a stop that did not go out: above everything, until dismissed.
    m_stopAlarm = new QFrame(centralWidget());
    m_stopAlarm->setObjectName(QStringLiteral("stopAlarm"));
    m_stopAlarm->setStyleSheet(QString::fromLatin1(kAlarmBarStyle));
    auto* alarmLayout = new QHBoxLayout(m_stopAlarm);
    m_stopAlarmText = new QLabel(m_stopAlarm);
    m_stopAlarmText->setWordWrap(true);
    alarmLayout->addWidget(m_stopAlarmText, 1);
    auto* dismiss = new QPushButton(QStringLiteral("Dismiss"), m_stopAlarm);
    dismiss->setFocusPolicy(Qt::NoFocus);
    connect(dismiss, &QPushButton::clicked, m_stopAlarm, &QWidget::hide);
    alarmLayout->addWidget(dismiss);
    m_stopAlarm->hide();
    if (auto* central = qobject_cast<QBoxLayout*>(centralWidget()->layout()))
        central->insertWidget(0, m_stopAlarm);

    m_robotBadge = new QLabel(this);
    m_robotBadge->setObjectName(QStringLiteral("robotBadge"));
    statusBar()->addPermanentWidget(m_robotBadge);

    m_telemetryAgeLabel = new QLabel(this);
    m_viewerAgeLabel = new QLabel(this);
    for (auto [label, below] : {std::pair<QLabel*, QWidget*>{m_telemetryAgeLabel, m_telemetryTable},
                                std::pair<QLabel*, QWidget*>{m_viewerAgeLabel, m_viewer}}) {
        label->setStyleSheet(QString::fromLatin1(kStaleCaptionStyle));
        if (QBoxLayout* panel = boxLayoutOf(below))
            panel->insertWidget(panel->indexOf(below), label);
    }

    m_cameraBadge = new QLabel(QStringLiteral("Camera: test feed"), this);
    m_cameraBadge->setStyleSheet(QString::fromLatin1(kCameraBadgeStyle));
    m_cameraBadge->hide();
    if (QBoxLayout* camera = boxLayoutOf(m_videoLabel)) {
        if (auto* header = qobject_cast<QBoxLayout*>(camera->itemAt(0)->layout()))
            header->insertWidget(header->indexOf(m_aiBadge), m_cameraBadge);
    }

    for (QAction* action : menuBar()->actions()) {
        if (action->text() != QStringLiteral("&Robot") || !action->menu())
            continue;
        action->menu()->addSeparator();
        connect(action->menu()->addAction(QStringLiteral("C&onnect")), &QAction::triggered, this,
                [this] { connectMqtt(); });
        connect(action->menu()->addAction(QStringLiteral("&Disconnect")), &QAction::triggered, this, [this] {
            m_mqttClient->disconnectFromBroker();
            onMqttDisconnected();
        });
    }

    resetRobotPresence();
    m_statusTimer.setInterval(kStatusRefreshMs);
    connect(&m_statusTimer, &QTimer::timeout, this, &MainWindow::refreshStatus);
    m_statusTimer.start();
    refreshStatus();
}

void MainWindow::refreshStatus()
{
    const std::int64_t now = monotonicNowMs();
    dropOlderThan(m_sentFrameTimes, now - kFrameRateWindowMs);
    dropOlderThan(m_telemetryTimes, now - kTelemetryRateWindowMs);

    StreamInputs in;
    in.teleopActive = m_teleopActive;
    in.robotStopped = m_robotStopped;
    in.brokerConnected = m_mqttClient->isConnected();
    // Manual control's and a command replay's targets come from the sliders
    // and the recording, not from a person in view.
    in.personInView = m_personInView || m_replayingCommands || manualControlActive();
    in.hasTarget = m_motion.hasTarget();
    in.poseAgeMs = m_motion.hasTarget() ? now - m_motion.lastTargetMs() : 0;
    in.watchdogMs = motionSettings().watchdogTimeoutMs;
    in.framesPerSecond = static_cast<double>(m_sentFrameTimes.size()) * 1000.0 / kFrameRateWindowMs;
    const StreamState state = streamState(in);
    setTextIfChanged(m_streamStateLabel, streamStateText(state, in), streamStateStyle(state));

    // The id the link uses, or will use on the next connection.
    const QString id = MqttClient::normalizeRobotId(QString::fromStdString(m_appliedRobotId));
    const std::int64_t age = m_lastTelemetryMs < 0 ? -1 : now - m_lastTelemetryMs;
    if (age < 0) {
        setTextIfChanged(m_robotBadge, QStringLiteral("Robot: %1 no telemetry yet").arg(id),
                         QString::fromLatin1(kBadgeWaitingStyle));
    } else if (age <= kTelemetryStaleMs) {
        const double hz = static_cast<double>(m_telemetryTimes.size()) * 1000.0 / kTelemetryRateWindowMs;
        setTextIfChanged(m_robotBadge, QStringLiteral("Robot: %1 online (%2 Hz)").arg(id).arg(std::max(1.0, std::round(hz))),
                         QString::fromLatin1(kBadgeOnlineStyle));
    } else {
        setTextIfChanged(m_robotBadge, QStringLiteral("Robot: %1 silent for %2 s").arg(id).arg(age / 1000),
                         QString::fromLatin1(kBadgeSilentStyle));
    }

    // Never an old pose that looks live: the view greys out and the table
    // dims the reported columns, both with the age beside them.
    const bool stale = age < 0 || age > kTelemetryStaleMs;
    m_viewer->setTelemetryAge(age);
    const QString liveCaption =
        age < 0 ? QStringLiteral("No telemetry yet: this is not the robot's reported pose.")
        : stale ? QStringLiteral("STALE: last telemetry %1 s ago.").arg(age / 1000.0, 0, 'f', 1)
                : QString();
    // Played-back reports stand in for missing live ones, and say so.
    const QString caption =
        stale && m_showingRecordedTelemetry ? QString::fromLatin1(kRecordedTelemetryCaption) : liveCaption;
    for (QLabel* label : {m_telemetryAgeLabel, m_viewerAgeLabel}) {
        if (label->text() != caption)
            label->setText(caption);
        label->setVisible(stale);
    }
    if (stale != m_telemetryShownStale) {
        m_telemetryShownStale = stale;
        for (int row = 0; row < m_telemetryTable->rowCount(); ++row) {
            for (int column : kReportedColumns) {
                if (QTableWidgetItem* item = m_telemetryTable->item(row, column))
                    item->setForeground(stale ? QBrush(kStaleCellColour) : QBrush());
            }
        }
    }
}

void MainWindow::noteStopResult(bool delivered)
{
    if (!delivered) {
        showStopAlarm(m_mqttClient->lastError());
        return;
    }
    // Matches the robot, which ignores motion after a stop until centred.
    m_robotStopped = true;
    m_teleopButton->setEnabled(false);
    m_teleopButton->setToolTip(QStringLiteral("The robot is STOPPED: press Center to re-arm."));
    refreshStatus();
}

void MainWindow::noteCenterResult(bool delivered)
{
    if (!delivered || !m_robotStopped)
        return;
    m_robotStopped = false;
    m_teleopButton->setEnabled(true);
    m_teleopButton->setToolTip({});
    refreshStatus();
}

void MainWindow::showStopAlarm(const QString& reason)
{
    m_stopAlarmText->setText(QStringLiteral("EMERGENCY STOP NOT DELIVERED (%1). The robot did not receive it: "
                                            "stop it by other means.")
                                 .arg(reason));
    m_stopAlarm->show();
}

void MainWindow::noteTelemetryArrived()
{
    m_lastTelemetryMs = monotonicNowMs();
    m_telemetryTimes.push_back(m_lastTelemetryMs);
}

void MainWindow::resetRobotPresence()
{
    m_lastTelemetryMs = -1;
    m_telemetryTimes.clear();
}

void MainWindow::showMqttFailure(const QString& message)
{
    m_mqttStatusLabel->setText(QStringLiteral("MQTT: Not connected (%1)").arg(failureReason(message)));
    m_mqttStatusLabel->setStyleSheet(QString::fromLatin1(kMqttFailedStyle));
    m_mqttStatusLabel->setToolTip(message);
    // The label keeps the cause; the same text on every retry would only
    // cover what else the status bar has to say.
    if (message != m_lastMqttError)
        statusBar()->showMessage(message, kStatusMessageMs);
    m_lastMqttError = message;
}

bool MainWindow::noteCameraError(const QString& message)
{
    const int device = TeleopConfig::instance()->camera.deviceIndex;
    if (message != CameraThread::cameraOpenErrorMessage(device))
        return true;
    m_cameraErrorSinceRestart = true;
    const bool known = m_testFeedDevice == device;
    m_testFeedDevice = device;
    m_cameraBadge->setToolTip(message);
    m_cameraBadge->show();
    return !known;
}

void MainWindow::noteCameraFrame()
{
    if (m_cameraErrorSinceRestart || m_testFeedDevice < 0)
        return;
    if (++m_cameraFramesSinceRestart >= kFramesBeforeCameraTrusted) {
        m_testFeedDevice = -1;
        m_cameraBadge->hide();
    }
}
