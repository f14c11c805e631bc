// Session recording: the Record toggle, the REC indicator, and the points
// where the window's camera, commands, telemetry and events enter the
// recording.
#include "app/main_window.h"

#include "app/session_recorder.h"
#include "config/teleop_config.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QFileInfo>
#include <QDateTime>
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QStandardPaths>
#include <QStatusBar>
#include <QToolBar>

#include <algorithm>
#include <cstring>

namespace {

constexpr int kRecordingStatusIntervalMs = 500;
const char* const kRecordLabelStyle = "color: #ff4444; padding-right: 15px; font-weight: bold;";

QString clockText(std::uint64_t nanoseconds)
{
    const std::uint64_t seconds = nanoseconds / 1000000000ull;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString MainWindow::defaultRecordingsFolder()
{
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/kestro/recordings");
}

QString MainWindow::defaultRecordingPath()
{
    return defaultRecordingsFolder() + QStringLiteral("/kestro-") +
           QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss")) + QStringLiteral(".mcap");
}

void MainWindow::setupRecording(QMenu* robotMenu, QToolBar* toolBar)
{
    m_recordAction = new QAction(QStringLiteral("Record"), this);
    m_recordAction->setCheckable(true);
    m_recordAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    m_recordAction->setToolTip(QStringLiteral("Record the session to an MCAP file (Ctrl+R)"));
    connect(m_recordAction, &QAction::triggered, this, &MainWindow::onRecordToggled);
    robotMenu->addSeparator();
    robotMenu->addAction(m_recordAction);
    toolBar->addSeparator();
    toolBar->addAction(m_recordAction);

    m_recordLabel = new QLabel(this);
    m_recordLabel->setStyleSheet(QString::fromLatin1(kRecordLabelStyle));
    m_recordLabel->hide();
    statusBar()->addPermanentWidget(m_recordLabel);

    m_recordingStatusTimer.setInterval(kRecordingStatusIntervalMs);
    connect(&m_recordingStatusTimer, &QTimer::timeout, this, &MainWindow::onRecordingStatusTick);
}

bool MainWindow::isRecording() const
{
    return m_recorder != nullptr;
}

bool MainWindow::startRecording(const QString& requestedPath)
{
    if (m_recorder)
        return true;
    const QString path = requestedPath.isEmpty() ? defaultRecordingPath() : requestedPath;
    QDir().mkpath(QFileInfo(path).absolutePath());

    const TeleopConfig* config = TeleopConfig::instance();
    auto recorder = std::make_shared<SessionRecorder>();
    recorder->start(path, config->camera.recordFps, config->ai.kptThreshold);
    m_recorder = recorder;
    if (m_cameraThread) {
        // The tap holds the recorder: a frame in flight while recording stops
        // still finds it alive.
        m_cameraThread->setFrameTap([recorder](const cv::Mat& frame, const PoseEstimator::PersonPose& pose) {
            recorder->recordFrame(frame, pose);
        });
    }
    m_lastTickOutcome = nullptr;
    recordEvent(session::EventLevel::Info, QStringLiteral("Recording started"));
    // The pictures are kept as the camera thread mirrored them; playback
    // tells the retargeter the same.
    recordEvent(session::EventLevel::Info,
                QString::fromLatin1(poseMirrored() ? session::kMirroredEvent : session::kNotMirroredEvent));
    recordEvent(session::EventLevel::Info,
                m_teleopActive ? QStringLiteral("Teleoperation ACTIVE") : QStringLiteral("Teleoperation STANDBY"));
    m_recordAction->setChecked(true);
    m_recordLabel->show();
    m_recordingStatusTimer.start();
    onRecordingStatusTick();
    m_statusLabel->setText(QStringLiteral("Recording to %1").arg(QDir::toNativeSeparators(path)));
    return true;
}

void MainWindow::stopRecording()
{
    if (!m_recorder)
        return;
    if (m_cameraThread)
        m_cameraThread->setFrameTap({});
    recordEvent(session::EventLevel::Info, QStringLiteral("Recording stopped"));
    // The writer finishes the file on its own thread; the status tick lets
    // go of it once it is done, so the GUI never waits for the disk.
    m_recorder->requestStop();
    m_statusLabel->setText(QStringLiteral("Recording saved to %1")
                               .arg(QDir::toNativeSeparators(m_recorder->path())));
    m_finishingRecorders.push_back(std::move(m_recorder));
    m_recorder.reset();
    m_recordAction->setChecked(false);
    m_recordLabel->hide();
}

void MainWindow::onRecordToggled(bool on)
{
    if (on)
        startRecording(QString());
    else
        stopRecording();
}

void MainWindow::onRecordingStatusTick()
{
    m_finishingRecorders.erase(std::remove_if(m_finishingRecorders.begin(), m_finishingRecorders.end(),
                                              [](const std::shared_ptr<SessionRecorder>& recorder) {
                                                  return recorder->isDone();
                                              }),
                               m_finishingRecorders.end());
    if (!m_recorder) {
        if (m_finishingRecorders.empty())
            m_recordingStatusTimer.stop();
        return;
    }
    const RecordingWriter::Status status = m_recorder->status();
    if (status.state == RecordingWriter::State::DiskFull || status.state == RecordingWriter::State::Failed) {
        const QString path = QDir::toNativeSeparators(m_recorder->path());
        const QString message =
            status.state == RecordingWriter::State::DiskFull
                ? QStringLiteral("Recording stopped: less than 200 MB free on the disk. Saved to %1").arg(path)
                : QStringLiteral("Recording stopped: %1").arg(QString::fromStdString(status.error));
        stopRecording();
        m_statusLabel->setText(message);
        return;
    }
    QString text = QStringLiteral("REC %1 · %2 MB")
                       .arg(clockText(RecordingWriter::nowNs() - m_recorder->startNs()))
                       .arg(static_cast<double>(status.bytesWritten) / (1024.0 * 1024.0), 0, 'f', 1);
    if (status.messagesDropped > 0)
        text += QStringLiteral(" · %1 dropped").arg(status.messagesDropped);
    m_recordLabel->setText(text);
}

void MainWindow::recordEvent(session::EventLevel level, const QString& text)
{
    if (m_recorder)
        m_recorder->recordEvent(level, text);
}

void MainWindow::recordCommandTick(const char* outcome, const MotionStream::Frame* frame)
{
    if (!m_recorder)
        return;
    if (frame)
        m_recorder->recordCommand(frame->angles, frame->pwm, frame->channels, outcome);
    else
        m_recorder->recordCommand(m_motion.commandedAngles(), m_motion.commandedPwm(), m_motion.targetChannels(),
                                  outcome);
    // The watchdog ends a stream that was flowing: worth a line of its own.
    if (m_lastTickOutcome && std::strcmp(m_lastTickOutcome, "sent") == 0 && std::strcmp(outcome, "watchdog") == 0)
        recordEvent(session::EventLevel::Warning, QStringLiteral("Watchdog stopped the stream: no usable pose for "
                                                                 "%1 ms")
                                                      .arg(TeleopConfig::instance()->safety.watchdogTimeoutMs));
    m_lastTickOutcome = outcome;
}

void MainWindow::recordTelemetry(const std::array<bool, 17>& valid)
{
    if (m_recorder)
        m_recorder->recordTelemetry(m_telemetryPwm, m_telemetryAngles, valid);
}
