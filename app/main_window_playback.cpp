// Playing a recorded session back: its pictures as the camera source (they
// go through today's network and retargeter), the playback bar, the
// recorded telemetry in the 3D view and table while no robot reports live,
// and, after an explicit confirmation, the recorded commands streamed to
// the robot through the same loop as live teleoperation: today's limits and
// margin, the channels the current mode drives, the joint-speed limit, the
// watchdog and the emergency stop.
#include "app/main_window.h"

#include "app/playback_frame_source.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "record/playback_clock.h"
#include "record/recording_playback.h"
#include "record/session_messages.h"
#include "robot/pose_retargeter.h"
#include "ui/manual_joint_panel.h"
#include "ui/playback_bar.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QBoxLayout>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>

namespace {

// Often enough for a smooth slider and for recorded telemetry at its rate.
constexpr int kPlaybackTickMs = 50;
constexpr std::int64_t kNsPerMs = 1000000;
// A damaged file's notice stays longer than a passing message: it explains
// everything that follows.
constexpr int kDamageNoticeMs = 15000;

} // namespace

void MainWindow::setupPlayback()
{
    m_openRecordingAction = new QAction(QStringLiteral("&Open Recording..."), this);
    m_openRecordingAction->setObjectName(QStringLiteral("openRecordingAction"));
    connect(m_openRecordingAction, &QAction::triggered, this, [this] {
        const QString path = QFileDialog::getOpenFileName(this, QStringLiteral("Open Recording"),
                                                          defaultRecordingsFolder(),
                                                          QStringLiteral("Recordings (*.mcap);;All files (*)"));
        if (!path.isEmpty())
            openRecording(path);
    });
    m_replayCommandsAction = new QAction(QStringLiteral("Replay commands to the robot..."), this);
    m_replayCommandsAction->setObjectName(QStringLiteral("replayCommandsAction"));
    m_replayCommandsAction->setEnabled(false);
    connect(m_replayCommandsAction, &QAction::triggered, this, &MainWindow::onReplayCommandsTriggered);
    for (QAction* action : menuBar()->actions()) {
        QMenu* menu = action->menu();
        if (menu && action->text() == QStringLiteral("&File")) {
            QAction* first = menu->actions().value(0);
            menu->insertAction(first, m_openRecordingAction);
            menu->insertAction(first, m_replayCommandsAction);
            menu->insertSeparator(first);
        }
    }

    m_playbackBar = new PlaybackBar(this);
    m_playbackBar->hide();
    if (auto* camera = qobject_cast<QBoxLayout*>(m_videoLabel->parentWidget()->layout()))
        camera->insertWidget(camera->indexOf(m_videoLabel) + 1, m_playbackBar);
    auto* replayButton = new QPushButton(QStringLiteral("Replay commands..."), m_playbackBar);
    replayButton->setObjectName(QStringLiteral("replayCommandsButton"));
    connect(replayButton, &QPushButton::clicked, m_replayCommandsAction, &QAction::trigger);
    connect(m_replayCommandsAction, &QAction::changed, replayButton,
            [this, replayButton] { replayButton->setEnabled(m_replayCommandsAction->isEnabled()); });
    m_playbackBar->layout()->addWidget(replayButton);

    connect(m_playbackBar, &PlaybackBar::playPauseClicked, this, [this] {
        if (!m_playbackClock)
            return;
        if (m_playbackClock->isPlaying())
            m_playbackClock->pause();
        else
            m_playbackClock->play();
        onPlaybackTick();
    });
    connect(m_playbackBar, &PlaybackBar::seekRequested, this, [this](qint64 positionMs) {
        if (m_playbackClock)
            m_playbackClock->seek(positionMs * kNsPerMs);
    });
    connect(m_playbackBar, &PlaybackBar::closeClicked, this, &MainWindow::closeRecording);
    m_playbackTimer.setInterval(kPlaybackTickMs);
    connect(&m_playbackTimer, &QTimer::timeout, this, &MainWindow::onPlaybackTick);
}

bool MainWindow::openRecording(const QString& path)
{
    if (isOpeningRecording()) {
        m_statusLabel->setText(QStringLiteral("Still opening recording %1: wait until it plays.")
                                   .arg(QDir::toNativeSeparators(m_openingRecordingPath)));
        return false;
    }
    m_openingRecordingPath = path;
    m_openRecordingAction->setEnabled(false);
    m_statusLabel->setText(QStringLiteral("Opening recording %1...").arg(QDir::toNativeSeparators(path)));
    // Whatever plays now goes on playing until the new file is ready, and
    // stays if it cannot be played.
    m_recordingOpener.start(path, [this](std::shared_ptr<RecordingPlayback> recording, bool opened) {
        QMetaObject::invokeMethod(
            this, [this, recording, opened] { finishOpeningRecording(recording, opened); }, Qt::QueuedConnection);
    });
    return true;
}

void MainWindow::finishOpeningRecording(const std::shared_ptr<RecordingPlayback>& recording, bool opened)
{
    // The worker posted this as its last step: its thread is ending.
    m_recordingOpener.wait();
    const QString path = m_openingRecordingPath;
    m_openingRecordingPath.clear();
    m_openRecordingAction->setEnabled(true);
    if (!opened) {
        m_statusLabel->setText(recording->error());
        return;
    }
    closeRecording();
    m_cameraRanBeforePlayback = m_cameraThread && m_cameraThread->isRunning();
    // Another source of pictures is another person in view: nothing moves
    // until the operator says so again.
    setTeleopStandby();
    m_playback = recording;
    m_playbackClock =
        std::make_shared<PlaybackClock>(recording->beginNs(), recording->endNs(), recording->frameTimesNs());
    if (m_cameraThread) {
        const std::shared_ptr<PlaybackClock> clock = m_playbackClock;
        m_cameraThread->setFrameSourceFactory([recording, clock](const FrameSourceRequest&, std::string&) {
            return std::make_unique<PlaybackFrameSource>(recording, clock);
        });
        restartCamera();
    }
    // Nothing to replay is nothing to offer.
    m_replayCommandsAction->setEnabled(!recording->sentCommands().empty());
    m_playbackBar->show();
    m_playbackClock->play();
    m_playbackTimer.start();
    onPlaybackTick();
    m_statusLabel->setText(QStringLiteral("Playing recording %1").arg(QDir::toNativeSeparators(path)));
    if (!recording->damageNotice().isEmpty())
        statusBar()->showMessage(recording->damageNotice(), kDamageNoticeMs);
}

void MainWindow::closeRecording()
{
    if (!m_playback)
        return;
    stopCommandReplay(QString());
    setTeleopStandby();
    m_playbackTimer.stop();
    m_playbackBar->hide();
    m_replayCommandsAction->setEnabled(false);
    if (m_showingRecordedTelemetry) {
        // The live reports as they were, every row.
        ServoValidArray all;
        all.fill(true);
        showTelemetry(m_telemetryPwm, m_telemetryAngles, all);
    }
    m_showingRecordedTelemetry = false;
    m_shownRecordedTelemetry = -1;
    m_playback.reset();
    m_playbackClock.reset();
    if (m_cameraThread) {
        m_cameraThread->setFrameSourceFactory({});
        if (m_cameraRanBeforePlayback)
            restartCamera();
        else
            m_cameraThread->stopAndWait();
    }
    refreshStatus();
    m_statusLabel->setText(QStringLiteral("Recording closed. Back to the live camera."));
}

void MainWindow::setTeleopStandby()
{
    if (!m_teleopActive)
        return;
    m_teleopButton->setChecked(false);
    onTeleopToggleClicked();
}

bool MainWindow::poseMirrored() const
{
    if (m_playback && m_playback->mirrored())
        return *m_playback->mirrored();
    return TeleopConfig::instance()->camera.mirrorVideo;
}

void MainWindow::onPlaybackTick()
{
    if (!m_playbackClock)
        return;
    const bool playing = m_playbackClock->isPlaying();
    if (m_replayingCommands && !playing)
        stopCommandReplay(QStringLiteral("Playback paused: command replay stopped. The robot holds."));
    m_playbackBar->setState(m_playbackClock->positionNs() / kNsPerMs, m_playbackClock->durationNs() / kNsPerMs,
                            playing);
    showRecordedTelemetry();
}

void MainWindow::showRecordedTelemetry()
{
    const std::int64_t now = monotonicNowMs();
    const bool liveFresh = m_lastTelemetryMs >= 0 && now - m_lastTelemetryMs <= kTelemetryStaleMs;
    if (liveFresh || m_playback->telemetry().empty()) {
        if (m_showingRecordedTelemetry) {
            m_showingRecordedTelemetry = false;
            m_shownRecordedTelemetry = -1;
            refreshStatus();
        }
        return;
    }
    const int index = PlaybackClock::indexAtOrBefore(m_playback->telemetryTimesNs(),
                                                     m_playbackClock->beginNs() +
                                                         static_cast<std::uint64_t>(m_playbackClock->positionNs()));
    if (index < 0 || index == m_shownRecordedTelemetry)
        return;
    m_shownRecordedTelemetry = index;
    const RecordingPlayback::Telemetry& report = m_playback->telemetry()[static_cast<std::size_t>(index)];
    showTelemetry(report.pwm, report.angles, report.valid);
    if (!m_showingRecordedTelemetry) {
        m_showingRecordedTelemetry = true;
        refreshStatus();
    }
}

void MainWindow::onReplayCommandsTriggered()
{
    if (!m_playback || m_replayingCommands)
        return;
    QString refusal;
    if (m_playback->sentCommands().empty())
        refusal = QStringLiteral("The recording holds no commands that went to the robot.");
    else if (!m_mqttClient->isConnected())
        refusal = QStringLiteral("Not connected to the robot: connect before replaying commands.");
    else if (m_robotStopped)
        refusal = QStringLiteral("Robot is STOPPED: press Center to re-arm.");
    else if (manualControlActive())
        refusal = QStringLiteral("Manual joint control is on: switch it off to replay commands.");
    if (!refusal.isEmpty()) {
        m_statusLabel->setText(refusal);
        return;
    }

    const QString robot = MqttClient::normalizeRobotId(QString::fromStdString(m_appliedRobotId));
    QMessageBox confirm(QMessageBox::Warning, QStringLiteral("Replay commands to the robot"),
                        QStringLiteral("Send the recorded commands to robot \"%1\"?").arg(robot),
                        QMessageBox::Yes | QMessageBox::Cancel, this);
    confirm.setObjectName(QStringLiteral("replayConfirmation"));
    confirm.setInformativeText(
        QStringLiteral("The robot will move as recorded, from the playback position on, within today's joint "
                       "limits and speed limit. Pause playback or press EMERGENCY STOP (F12) to stop it."));
    confirm.setDefaultButton(QMessageBox::Cancel);
    confirm.button(QMessageBox::Yes)->setText(QStringLiteral("Replay to %1").arg(robot));
    if (confirm.exec() != QMessageBox::Yes || !m_playback)
        return;
    // Anything may have happened while the question was open.
    if (m_robotStopped || !m_mqttClient->isConnected() || manualControlActive()) {
        m_statusLabel->setText(QStringLiteral("Command replay not started: the robot link or its state changed."));
        return;
    }

    m_replayingCommands = true;
    m_lastReplayedCommand = -1;
    if (!m_teleopActive) {
        m_teleopButton->setChecked(true);
        onTeleopToggleClicked();
    }
    if (!m_teleopActive) {
        stopCommandReplay(QStringLiteral("Command replay not started: teleoperation could not be switched on."));
        return;
    }
    m_playbackClock->play();
    onPlaybackTick();
    m_statusLabel->setText(QStringLiteral("Replaying recorded commands to robot %1.").arg(robot));
    recordEvent(session::EventLevel::Warning, QStringLiteral("Command replay started to robot %1").arg(robot));
}

void MainWindow::stopCommandReplay(const QString& reason)
{
    if (!m_replayingCommands)
        return;
    m_replayingCommands = false;
    m_lastReplayedCommand = -1;
    if (!reason.isEmpty())
        m_statusLabel->setText(reason);
    recordEvent(session::EventLevel::Info, QStringLiteral("Command replay stopped"));
}

void MainWindow::feedRecordedCommand()
{
    if (!m_replayingCommands)
        return;
    // Any of these ends the replay for good: resuming takes a new confirmation.
    if (!m_teleopActive || manualControlActive() || !m_playbackClock->isPlaying()) {
        stopCommandReplay(QStringLiteral("Command replay stopped. The robot holds."));
        return;
    }
    const std::uint64_t now = m_playbackClock->beginNs() + static_cast<std::uint64_t>(m_playbackClock->positionNs());
    const int index = PlaybackClock::indexAtOrBefore(m_playback->sentCommandTimesNs(), now);
    if (index < 0 || index == m_lastReplayedCommand)
        return;
    m_lastReplayedCommand = index;

    // Only what the current mode drives; the motion stream bounds every
    // target by today's limits and margin, as it does a retargeted pose, so a
    // recording made with wider limits, another mode or a hand-edited file
    // sends nothing beyond them.
    const RecordingPlayback::Command& command = m_playback->sentCommands()[static_cast<std::size_t>(index)];
    const ServoValidArray driven = PoseRetargeter::drivenChannels(motionSettings().mode);
    ServoValidArray channels{};
    for (int channel = 0; channel < kServoCount; ++channel)
        channels[channel] = command.valid[channel] && driven[channel];
    commandJointTargets(command.angles, channels);
}
