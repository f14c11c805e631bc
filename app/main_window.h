#pragma once

#include "mqtt/mqtt_tls_settings.h"
#include "record/recording_opener.h"
#include "robot/joint_set.h"
#include "robot/motion_stream.h"
#include "selfupdate/update_state.h"
#include "vision/pose_estimator.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QString>
#include <QTimer>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

class CameraThread;
class ManualJointPanel;
class PlaybackBar;
class PlaybackClock;
class RecordingPlayback;
class QAction;
class QMenu;
class QToolBar;
class SessionRecorder;
class MqttClient;
class PoseRetargeter;
class QLabel;
class QPushButton;
class QTableWidget;
class SettingsDialog;
class UrdfViewerWidget;

namespace session {
enum class EventLevel;
} // namespace session

namespace selfupdate {
class SelfUpdateController;
struct AppConfig;
} // namespace selfupdate

// The dashboard's single window: camera view with the skeleton overlay, the
// robot's 3D twin, the servo telemetry table, the controls, and the
// teleoperation loop that turns each camera frame's pose into a commanded
// robot state and streams it to the robot at a fixed rate behind a watchdog.
// The source is split by concern: main_window.cpp (construction, layout,
// loop), main_window_telemetry.cpp, main_window_settings.cpp,
// main_window_update.cpp.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    static constexpr const char* kVersion = "2.2.2";
    static constexpr int kBuildNumber = 20202;
    // How long a temporary status-bar message stays.
    static constexpr int kStatusMessageMs = 5000;
    static constexpr const char* kCameraFrozenText =
        "Camera frozen: no new frames from the camera. Motion streaming paused.";
    static constexpr const char* kCameraDeliveringText = "Camera delivering frames again.";

    // What the command line asks of one run, without touching the settings file.
    struct RunOptions
    {
        // A video file or stream URL read instead of the configured source,
        // until the operator applies another source in the settings.
        std::string videoSource;
    };

    MainWindow(std::shared_ptr<selfupdate::SelfUpdateController> controller, QWidget* parent,
               RunOptions options = {});
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The transmit interval for a configured rate: 33 ms below 1 Hz.
    static int txIntervalMsFor(int txRateHz);

    // Read-only views of the window's parts, for tests and tools that drive
    // the window from outside.
    MqttClient* mqttClient() const { return m_mqttClient; }
    CameraThread* cameraThread() const { return m_cameraThread; }
    UrdfViewerWidget* viewer() const { return m_viewer; }
    QTableWidget* telemetryTable() const { return m_telemetryTable; }
    QPushButton* teleopButton() const { return m_teleopButton; }
    QLabel* videoLabel() const { return m_videoLabel; }
    QLabel* statusMessageLabel() const { return m_statusLabel; }
    QLabel* mqttStatusLabel() const { return m_mqttStatusLabel; }
    QLabel* aiBadge() const { return m_aiBadge; }
    QLabel* aiStatusLabel() const { return m_aiStatusLabel; }
    QLabel* fpsLabel() const { return m_fpsLabel; }
    QPushButton* updateBadge() const { return m_updateBadge; }
    QLabel* settingsProblemLabel() const { return m_settingsProblemLabel; }
    const QTimer& txTimer() const { return m_txTimer; }
    bool isTeleopActive() const { return m_teleopActive; }
    // The latest target (what the pose asks for) and what was last sent
    // toward it (the speed-limited commanded state).
    ServoPwmArray targetPwm() const;
    const ServoValidArray& targetValid() const { return m_motion.targetChannels(); }
    const ServoPwmArray& commandedPwm() const { return m_motion.commandedPwm(); }
    const MotionStream& motionStream() const { return m_motion; }
    ManualJointPanel* manualJointPanel() const { return m_manualPanel; }
    const ServoPwmArray& telemetryPwm() const { return m_telemetryPwm; }
    const JointAngleArray& telemetryAngles() const { return m_telemetryAngles; }

    // What the window tells the operator about the link, the robot and the
    // stream (main_window_status.cpp).
    QPushButton* stopButton() const { return m_stopButton; }
    QLabel* streamStateLabel() const { return m_streamStateLabel; }
    QLabel* robotBadge() const { return m_robotBadge; }
    QWidget* stopAlarmBar() const { return m_stopAlarm; }
    QLabel* cameraBadge() const { return m_cameraBadge; }
    QLabel* telemetryAgeLabel() const { return m_telemetryAgeLabel; }
    bool isRobotStopped() const { return m_robotStopped; }
    // The key that sends the emergency stop from anywhere in the application.
    static constexpr int kEmergencyStopKey = Qt::Key_F12;
    // Telemetry older than this is shown as stale.
    static constexpr std::int64_t kTelemetryStaleMs = 1000;

    // Self-update binding (main_window_update.cpp).
    static selfupdate::AppConfig defaultSelfUpdateConfig();
    void bindSelfUpdateController();
    void setSelfUpdateController(std::shared_ptr<selfupdate::SelfUpdateController> controller);
    selfupdate::SelfUpdateController* selfUpdateController() const;
    std::shared_ptr<selfupdate::SelfUpdateController> selfUpdateControllerShared() const;
    selfupdate::UpdateState currentSelfUpdateState() const;

    // The one way motion reaches the robot: a joint target for the channels
    // flagged, streamed by the transmit tick like a camera pose's (speed
    // limit, stance preset, watchdog, emergency stop). Angles are already
    // clamped to the joint ranges. False when the target drives no channel.
    bool commandJointTargets(const JointAngleArray& angles, const ServoValidArray& channels);
    // The loop's settings as bounded at this moment.
    static MotionStream::Settings motionSettings();
    void checkForAppUpdates(bool userInitiated);
    QString updateStatusBadgeText() const;
    bool isUpdateStatusBadgeVisible() const;
    void onSelfUpdateStateChanged(const selfupdate::UpdateState& state);

    // Session recording (main_window_recording.cpp). A recording goes to
    // $XDG_DATA_HOME/kestro/recordings (else ~/.local/share/...), one file
    // per session named by its start.
    static QString defaultRecordingsFolder();
    static QString defaultRecordingPath();
    // An empty path records to a new file in the default folder.
    bool startRecording(const QString& path);
    void stopRecording();
    bool isRecording() const;
    QAction* recordAction() const { return m_recordAction; }
    QLabel* recordStatusLabel() const { return m_recordLabel; }

    // Playing a recording back as the camera (main_window_playback.cpp).
    // The file is parsed on a worker thread and plays once it is; a file
    // that cannot be played leaves the reason in the status line. False,
    // with the reason there, while another recording is still opening.
    bool openRecording(const QString& path);
    bool isOpeningRecording() const { return !m_openingRecordingPath.isEmpty(); }
    // Back to the live camera.
    void closeRecording();
    bool isPlayingRecording() const { return m_playback != nullptr; }
    PlaybackClock* playbackClock() const { return m_playbackClock.get(); }
    PlaybackBar* playbackBar() const { return m_playbackBar; }
    QAction* openRecordingAction() const { return m_openRecordingAction; }
    // Asks first (a modal confirmation naming the robot), then streams the
    // recorded commands through the teleoperation loop.
    QAction* replayCommandsAction() const { return m_replayCommandsAction; }
    bool isReplayingCommands() const { return m_replayingCommands; }
    bool showsRecordedTelemetry() const { return m_showingRecordedTelemetry; }
    static constexpr const char* kRecordedTelemetryCaption =
        "Recorded telemetry: played back from the recording, not the robot's present pose.";

public slots:
    void onFrameReady(const QImage& frame, const PoseEstimator::PersonPose& pose);
    void onCameraError(const QString& message);
    void onCameraFrozen(bool frozen);
    void onMqttConnected();
    void onMqttDisconnected();
    void onMqttError(const QString& message);
    void onMqttMessageSent(int messageId);
    void onTelemetryReceived(const std::array<int, 17>& pwm, const std::array<bool, 17>& valid);
    void onTeleopToggleClicked();
    void onCenterClicked();
    void onRelaxClicked();
    void onStopClicked();
    void onSettingsClicked();
    void onSettingsApplied();
    void onTxTimerTimeout();
    void onCheckForUpdatesClicked();
    void onAboutClicked();

private:
    void setupUi();
    void setupMenusAndToolbars();
    void setupTelemetryTable();
    void applyTheme();
    void updateAiProviderBadges();
    bool connectMqtt();
    void restartCamera();
    // Sends the commanded state when teleoperation, the link and the watchdog
    // allow it (the body of a transmit tick).
    void transmitTarget();
    // Video sources (main_window_sources.cpp): the file or stream the camera
    // thread reads, empty for the camera device.
    std::string videoSourceLocation();
    // Hands the camera thread the source to read at its next start.
    void applyVideoSource();
    // Manual joint control (main_window_manual.cpp).
    void setupManualControl();
    bool manualControlActive() const;
    void onManualControlToggled(bool on);
    void onManualAnglesEdited();
    void holdManualTarget();
    // Settings side (main_window_settings.cpp): the floor grid and link
    // options of the 3D view, and what went wrong with the settings file,
    // both at start-up and after every apply.
    void applyViewerSettings();
    void showSettingsFileProblem();
    // The model the configuration asks for: the custom file or the embedded network.
    static std::string configuredModelPath();
    // Monotonic milliseconds for the watchdog: a wall-clock step (NTP, a
    // resumed laptop) must neither keep an old pose fresh nor starve a new one.
    static std::int64_t monotonicNowMs();

    // main_window_status.cpp: the stream-state line, the robot badge, the
    // stale-telemetry marks, the stop alarm and shortcut, the camera badge.
    void setupStatusWidgets();
    void refreshStatus();
    void showStopAlarm(const QString& reason);
    void noteStopResult(bool delivered);
    void noteCenterResult(bool delivered);
    void noteTelemetryArrived();
    void resetRobotPresence();
    void showMqttFailure(const QString& message);
    bool noteCameraError(const QString& message);
    void noteCameraFrame();

    // Self-update attach points (main_window_update.cpp): construction step 2
    // and the last construction step.
    void removeStaleUpdateBackup();
    void startSelfUpdate();

    // Session recording attach points (main_window_recording.cpp).
    void setupRecording(QMenu* robotMenu, QToolBar* toolBar);
    void onRecordToggled(bool on);
    void onRecordingStatusTick();
    void recordEvent(session::EventLevel level, const QString& text);
    // What one transmission attempt did: "sent" with the frame that went
    // out (or failed to), or why nothing was sent.
    void recordCommandTick(const char* outcome, const MotionStream::Frame* frame = nullptr);
    void recordTelemetry(const std::array<bool, 17>& valid);
    // The table rows flagged and the 3D view show these reported values.
    void showTelemetry(const ServoPwmArray& pwm, const JointAngleArray& angles, const ServoValidArray& rows);

    // Playback attach points (main_window_playback.cpp).
    void setupPlayback();
    void onPlaybackTick();
    void onReplayCommandsTriggered();
    void stopCommandReplay(const QString& reason);
    // On each transmit tick: the recorded command due now, as a target.
    void feedRecordedCommand();
    void showRecordedTelemetry();
    // Whether the pictures the retargeter sees are mirrored: as recorded
    // while a recording plays, else as configured.
    bool poseMirrored() const;
    void setTeleopStandby();
    // Back on the GUI thread once the worker has parsed the file.
    void finishOpeningRecording(const std::shared_ptr<RecordingPlayback>& recording, bool opened);

    std::shared_ptr<PoseEstimator> m_poseEstimator;
    std::unique_ptr<PoseRetargeter> m_retargeter;
    CameraThread* m_cameraThread = nullptr;
    UrdfViewerWidget* m_viewer = nullptr;
    MqttClient* m_mqttClient = nullptr;
    SettingsDialog* m_settingsDialog = nullptr;

    QLabel* m_videoLabel = nullptr;
    QTableWidget* m_telemetryTable = nullptr;
    QPushButton* m_teleopButton = nullptr;
    QPushButton* m_centerButton = nullptr;
    QPushButton* m_relaxButton = nullptr;
    QPushButton* m_stopButton = nullptr;
    QLabel* m_mqttStatusLabel = nullptr;
    QLabel* m_aiStatusLabel = nullptr;
    QLabel* m_aiBadge = nullptr;
    QLabel* m_fpsLabel = nullptr;
    QLabel* m_statusLabel = nullptr;
    QPushButton* m_updateBadge = nullptr;
    QLabel* m_settingsProblemLabel = nullptr;

    std::shared_ptr<selfupdate::SelfUpdateController> m_selfUpdateController;
    selfupdate::UpdateState m_updateState;
    bool m_autoUpdateCheckPending = false;

    bool m_teleopActive = false;
    QTimer m_txTimer;

    // Targets, commanded state and watchdog of the teleoperation loop, with
    // times from monotonicNowMs.
    MotionStream m_motion;
    ServoPwmArray m_telemetryPwm{};
    JointAngleArray m_telemetryAngles{};
    // The time since the last transmission: a new target goes out with its
    // frame once a full transmit period has passed.
    QElapsedTimer m_sinceTransmit;

    ManualJointPanel* m_manualPanel = nullptr;
    RunOptions m_runOptions;
    // The configured source when the run started: a source applied in the
    // settings replaces the command line's.
    std::string m_startSourceType;
    std::string m_startMediaLocation;

    QLabel* m_streamStateLabel = nullptr;
    QLabel* m_robotBadge = nullptr;
    QWidget* m_stopAlarm = nullptr;
    QLabel* m_stopAlarmText = nullptr;
    QLabel* m_cameraBadge = nullptr;
    QLabel* m_telemetryAgeLabel = nullptr;
    QLabel* m_viewerAgeLabel = nullptr;
    QTimer m_statusTimer;
    // A stop reached the broker: the robot ignores motion until centred.
    bool m_robotStopped = false;
    bool m_personInView = false;
    bool m_telemetryShownStale = false;
    std::deque<std::int64_t> m_sentFrameTimes;  // monotonic ms of set-PWM frames sent
    std::deque<std::int64_t> m_telemetryTimes;  // monotonic ms of telemetry messages
    std::int64_t m_lastTelemetryMs = -1;
    QString m_lastMqttError;
    int m_testFeedDevice = -1;          // device shown as "test feed", -1 for none
    bool m_cameraErrorSinceRestart = false;
    int m_cameraFramesSinceRestart = 0;

    std::string m_appliedProvider;
    std::string m_appliedModelSource;
    std::string m_appliedCustomModelPath;
    std::string m_appliedMqttHost;
    int m_appliedMqttPort = 0;
    std::string m_appliedMqttUsername;
    std::string m_appliedMqttPassword;
    std::string m_appliedRobotId;
    int m_appliedMqttKeepalive = 0;
    MqttTlsSettings m_appliedMqttTls;

    std::shared_ptr<SessionRecorder> m_recorder;
    // Stopped recordings whose writer is still finishing its file.
    std::vector<std::shared_ptr<SessionRecorder>> m_finishingRecorders;
    QAction* m_recordAction = nullptr;
    QLabel* m_recordLabel = nullptr;
    QTimer m_recordingStatusTimer;
    const char* m_lastTickOutcome = nullptr;

    std::shared_ptr<RecordingPlayback> m_playback;
    std::shared_ptr<PlaybackClock> m_playbackClock;
    PlaybackBar* m_playbackBar = nullptr;
    QAction* m_openRecordingAction = nullptr;
    QAction* m_replayCommandsAction = nullptr;
    QTimer m_playbackTimer;
    bool m_replayingCommands = false;
    int m_lastReplayedCommand = -1;
    int m_shownRecordedTelemetry = -1;
    bool m_showingRecordedTelemetry = false;
    // Closing a recording brings back the camera only if it ran before.
    bool m_cameraRanBeforePlayback = false;
    // The file being parsed, empty when none is. The opener is the last
    // member so that a window closed meanwhile waits for its thread before
    // anything else goes.
    QString m_openingRecordingPath;
    RecordingOpener m_recordingOpener;
};
