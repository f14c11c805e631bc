// Playing recorded sessions back: a session recorded by the dashboard's own
// recorder plays as the camera, in order and at its pace, seeks where it
// should and finds the same person in the same pictures; a damaged file
// plays what it holds; and the recorded commands reach the robot only after
// the confirmation, through the live loop's limits, speed limit and stop.
#include "app/main_window.h"
#include "app/playback_frame_source.h"
#include "app/session_recorder.h"
#include "config/teleop_config.h"
#include "mqtt/mqtt_client.h"
#include "mqtt/robot_frame.h"
#include "record/playback_clock.h"
#include "record/recording_playback.h"
#include "record/recording_writer.h"
#include "record/session_messages.h"
#include "robot/pose_retargeter.h"
#include "robot/urdf_limits.h"
#include "tests/app/app_test_support.h"
#include "tests/support/mosquitto_broker.h"
#include "ui/playback_bar.h"
#include "vision/camera_thread.h"

#include <QAction>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <optional>
#include <cmath>
#include <thread>

using kestro_app_test::buttonWithText;
using kestro_app_test::openRecordingAndWait;
using kestro_app_test::processEventsFor;
using kestro_app_test::processEventsUntil;
using kestro_app_test::WireFrame;
using namespace std::chrono_literals;

namespace {

const QString kDataDir = QStringLiteral(KESTRO_SOURCE_DIR "/tests/vision/data");
constexpr int kFrameCount = 14;
constexpr auto kFrameSpacing = 60ms;
// A flat square in the corner whose grey level numbers the picture: JPEG
// keeps the mean of a flat block within a few levels.
constexpr int kMarkSize = 48;

int markLevel(int index)
{
    return 20 + 14 * index;
}

void paintMark(cv::Mat& frame, int index)
{
    for (int y = 0; y < kMarkSize; ++y)
        std::memset(frame.ptr(y), markLevel(index), kMarkSize * 3);
}

int readMark(const cv::Mat& frame)
{
    int sum = 0;
    for (int y = 16; y < 32; ++y)
        for (int x = 16 * 3; x < 32 * 3; ++x)
            sum += frame.ptr(y)[x];
    const double mean = sum / (16.0 * 16.0 * 3.0);
    return static_cast<int>(std::lround((mean - 20.0) / 14.0));
}

cv::Mat photograph(const char* name)
{
    QFile file(kDataDir + QLatin1Char('/') + QLatin1String(name));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name;
    return PlaybackFrameSource::decodeJpeg(file.readAll());
}

double boxDistance(const PoseEstimator::PersonPose& a, const PoseEstimator::PersonPose& b)
{
    return std::max({std::abs(a.x1 - b.x1), std::abs(a.y1 - b.y1), std::abs(a.x2 - b.x2), std::abs(a.y2 - b.y2)});
}

class Playback : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_folder.isValid()); }

    QString path(const char* name) const { return m_folder.filePath(QLatin1String(name)); }

    QTemporaryDir m_folder;
};

// The same, with the window on a broker and the simulated robot.
class PlaybackOnBroker : public kestro_app_test::WindowOnBroker
{
protected:
    void SetUp() override { ASSERT_TRUE(m_folder.isValid()); }

    QString path(const char* name) const { return m_folder.filePath(QLatin1String(name)); }

    QTemporaryDir m_folder;
};

} // namespace

TEST_F(Playback, ARecordedSessionPlaysInOrderAtItsPaceSeeksAndFindsTheSamePerson)
{
    PoseEstimator estimator;
    ASSERT_TRUE(estimator.init(PoseEstimator::kEmbeddedModelPath, "cpu"));
    // A person and a picture without one, alternately.
    const cv::Mat scenes[2] = {photograph("messi5.jpg"), photograph("fruits.jpg")};
    PoseEstimator::PersonPose recordedPoses[kFrameCount];
    {
        SessionRecorder recorder;
        ASSERT_TRUE(recorder.start(path("session.mcap"), 0, 0.4f));
        recorder.recordEvent(session::EventLevel::Info, QString::fromLatin1(session::kMirroredEvent));
        for (int i = 0; i < kFrameCount; ++i) {
            cv::Mat frame = scenes[i % 2].clone();
            paintMark(frame, i);
            recordedPoses[i] = estimator.infer(frame, 0.5f, 0.4f, "largest");
            recorder.recordFrame(frame, recordedPoses[i]);
            std::this_thread::sleep_for(kFrameSpacing);
        }
        recorder.requestStop();
        ASSERT_TRUE(processEventsUntil([&] { return recorder.isDone(); }));
    }
    ASSERT_TRUE(recordedPoses[0].valid);
    ASSERT_FALSE(recordedPoses[1].valid);

    auto recording = std::make_shared<RecordingPlayback>();
    ASSERT_TRUE(recording->open(path("session.mcap"))) << recording->error().toStdString();
    EXPECT_TRUE(recording->damageNotice().isEmpty());
    // The retargeter is told the pictures were mirrored, as in the session.
    EXPECT_EQ(recording->mirrored(), std::optional<bool>(true));
    ASSERT_EQ(recording->frameTimesNs().size(), static_cast<std::size_t>(kFrameCount));
    auto clock = std::make_shared<PlaybackClock>(recording->beginNs(), recording->endNs(), recording->frameTimesNs());
    PlaybackFrameSource source(recording, clock);

    // Every picture, in order, never before its recorded time and not long after.
    std::vector<cv::Mat> played;
    std::vector<std::int64_t> lateness;
    clock->play();
    const auto start = std::chrono::steady_clock::now();
    while (played.size() < static_cast<std::size_t>(kFrameCount) && clock->isPlaying()) {
        cv::Mat frame;
        if (!source.read(frame) || !source.lastReadWasNew())
            continue;
        const auto arrivedNs = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                   std::chrono::steady_clock::now() - start)
                                   .count();
        const int index = source.lastFrameIndex();
        EXPECT_EQ(index, static_cast<int>(played.size()));
        EXPECT_EQ(readMark(frame), index);
        const std::int64_t lateNs = arrivedNs - clock->frameOffsetNs(index);
        EXPECT_GE(lateNs, -2'000'000) << "picture " << index << " early";
        // A loaded machine may hold a thread back now and then; most
        // pictures still come within a few polls of their time.
        EXPECT_LE(lateNs, 300'000'000) << "picture " << index << " late";
        lateness.push_back(lateNs);
        played.push_back(frame);
    }
    ASSERT_EQ(played.size(), static_cast<std::size_t>(kFrameCount));
    std::nth_element(lateness.begin(), lateness.begin() + kFrameCount / 2, lateness.end());
    EXPECT_LE(lateness[kFrameCount / 2], 40'000'000) << "median lateness";
    // Paused at the end: the last picture again, not new.
    cv::Mat again;
    EXPECT_TRUE(source.read(again));
    EXPECT_FALSE(source.lastReadWasNew());

    // The same person in the same pictures, and no one where there was no one.
    for (int i = 0; i < kFrameCount; ++i) {
        const PoseEstimator::PersonPose found = estimator.infer(played[static_cast<std::size_t>(i)], 0.5f, 0.4f,
                                                                "largest");
        ASSERT_EQ(found.valid, recordedPoses[i].valid) << "picture " << i;
        if (found.valid) {
            EXPECT_LT(boxDistance(found, recordedPoses[i]), 0.03) << "picture " << i;
        }
    }

    // A seek shows the last picture at or before the position.
    const std::int64_t interval = clock->frameOffsetNs(6) - clock->frameOffsetNs(5);
    const struct
    {
        std::int64_t positionNs;
        int frame;
    } seeks[] = {
        {clock->frameOffsetNs(5), 5},
        {clock->frameOffsetNs(5) + interval / 2, 5},
        {clock->frameOffsetNs(9) - 1, 8},
        {0, 0},
        {clock->durationNs() + 1'000'000'000, kFrameCount - 1},
    };
    for (const auto& seek : seeks) {
        clock->seek(seek.positionNs);
        cv::Mat frame;
        ASSERT_TRUE(source.read(frame));
        EXPECT_EQ(source.lastFrameIndex(), seek.frame) << seek.positionNs;
        EXPECT_EQ(readMark(frame), seek.frame) << seek.positionNs;
    }
}

namespace {

constexpr int kElbow = 7;     // left elbow: the camera drives it
constexpr int kAnkle = 0;     // left ankle roll: only the stance preset holds it
constexpr int kReplayTxRateHz = 20;
constexpr int kReplayWatchdogMs = 400;
constexpr double kReplayMaxVelocityDegS = 90.0;
const char* const kReplayRobotId = "replay";

// Three seconds of commands at 30 Hz: the ones that went out ask for the
// elbow and the ankle far beyond their limits; the ones that did not (the
// operator was on standby) ask for the opposite side, and must never move
// anything. Telemetry at 10 Hz reports a bent elbow.
void writeCommandRecording(const QString& file)
{
    RecordingWriter writer;
    ASSERT_TRUE(writer.start(file.toStdString(), session::channels(), "test"));
    const std::uint64_t begin = RecordingWriter::nowNs();
    std::array<int, 17> pwm{};
    std::array<bool, 17> valid{};
    valid.fill(true);
    for (int i = 0; i < 90; ++i) {
        const std::uint64_t t = begin + static_cast<std::uint64_t>(i) * 33'000'000ull;
        std::array<double, 17> angles{};
        // A tenth of a second of each, so that transmit ticks land in both.
        const bool sent = i / 3 % 2 == 0;
        angles[kElbow] = sent ? 3.0 : -3.0;
        angles[kAnkle] = sent ? 3.0 : -3.0;
        writer.post(session::CommandChannel, t,
                    session::commandedState(t, angles, pwm, valid, sent ? "sent" : "standby"));
        if (i % 3 == 0) {
            std::array<double, 17> reported{};
            reported[kElbow] = 0.5;
            writer.post(session::TelemetryChannel, t, session::telemetry(t, pwm, reported, valid));
        }
    }
    writer.finish();
}

// Answers the next modal confirmation once it is up; `seen` gets its text
// and `wireCount` how many frames had reached the robot by then.
void answerConfirmation(QMessageBox::StandardButton answer, QString& seen,
                        const std::function<std::size_t()>& wireCount, std::size_t& countAtQuestion)
{
    QTimer::singleShot(300, [=, &seen, &countAtQuestion] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        seen = box->text() + QLatin1Char('\n') + box->informativeText();
        countAtQuestion = wireCount();
        box->button(answer)->click();
    });
}

} // namespace

TEST_F(Playback, ADamagedRecordingIsReportedAndPlaysWhatItHoldsAndRecordedTelemetryIsMarked)
{
    // A recording with a picture every 20 ms, then cut in half as a crash leaves it.
    {
        // Short chunks, so that the first half of the file holds whole ones.
        RecordingWriter::Options options;
        options.chunkInterval = std::chrono::milliseconds(1);
        RecordingWriter writer(options);
        ASSERT_TRUE(writer.start(path("whole.mcap").toStdString(), session::channels(), "test"));
        QByteArray jpeg;
        QFile file(kDataDir + QStringLiteral("/fruits.jpg"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        jpeg = file.readAll();
        const std::uint64_t begin = RecordingWriter::nowNs();
        for (int i = 0; i < 40; ++i) {
            const std::uint64_t t = begin + static_cast<std::uint64_t>(i) * 20'000'000ull;
            writer.post(session::CameraChannel, t, session::compressedImage(t, jpeg));
            std::this_thread::sleep_for(3ms);
        }
        writer.finish();
    }
    QFile whole(path("whole.mcap"));
    ASSERT_TRUE(whole.open(QIODevice::ReadOnly));
    const QByteArray bytes = whole.readAll();
    QFile cut(path("cut.mcap"));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(bytes.left(bytes.size() / 2));
    cut.close();
    QFile garbage(path("garbage.mcap"));
    ASSERT_TRUE(garbage.open(QIODevice::WriteOnly));
    garbage.write(QByteArray(4096, '\x5a'));
    garbage.close();

    MainWindow window(nullptr);
    window.show();
    EXPECT_FALSE(openRecordingAndWait(window, path("garbage.mcap")));
    EXPECT_FALSE(window.isOpeningRecording());
    EXPECT_FALSE(window.isPlayingRecording());
    EXPECT_TRUE(window.statusMessageLabel()->text().contains(QStringLiteral("not a recording")))
        << window.statusMessageLabel()->text().toStdString();

    ASSERT_TRUE(openRecordingAndWait(window, path("cut.mcap")));
    EXPECT_TRUE(window.statusBar()->currentMessage().startsWith(QStringLiteral("The recording is incomplete")))
        << window.statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(window.playbackBar()->isVisible());
    EXPECT_FALSE(window.replayCommandsAction()->isEnabled()); // it holds no commands
    const std::size_t held = window.playbackClock()->frameCount();
    EXPECT_GT(held, 0u);
    EXPECT_LT(held, 40u);
    // The camera thread plays it to the end, which pauses.
    ASSERT_TRUE(processEventsUntil([&] { return !window.playbackClock()->isPlaying(); }, 10s));
    EXPECT_TRUE(window.cameraThread()->isRunning());
    EXPECT_TRUE(processEventsUntil(
        [&] { return window.playbackBar()->playPauseButton()->text() == QStringLiteral("Play"); }, 2s));

    window.playbackBar()->closeButton()->click();
    EXPECT_FALSE(window.isPlayingRecording());
    EXPECT_FALSE(window.playbackBar()->isVisible());

    // No robot reports live: the recorded reports stand in, marked as recorded.
    writeCommandRecording(path("commands.mcap"));
    ASSERT_TRUE(openRecordingAndWait(window, path("commands.mcap")));
    ASSERT_TRUE(processEventsUntil([&] { return window.showsRecordedTelemetry(); }, 5s));
    EXPECT_EQ(window.telemetryTable()->item(kElbow, 2)->text(), QStringLiteral("28.6"));
    processEventsFor(300ms);
    int captions = 0;
    for (QLabel* label : window.findChildren<QLabel*>())
        captions += label->isVisible() && label->text() == QLatin1String(MainWindow::kRecordedTelemetryCaption);
    EXPECT_EQ(captions, 2); // over the 3D view and over the table
    window.closeRecording();
    EXPECT_FALSE(window.showsRecordedTelemetry());
    EXPECT_NE(window.telemetryTable()->item(kElbow, 2)->text(), QStringLiteral("28.6"));
}

TEST_F(PlaybackOnBroker, RecordedCommandsReachTheRobotOnlyAfterConfirmationWithinTodaysLimitsAndStopWins)
{
    writeCommandRecording(path("commands.mcap"));
    start(kReplayRobotId, [](TeleopConfig& config) {
        config.safety.txRateHz = kReplayTxRateHz;
        config.safety.watchdogTimeoutMs = kReplayWatchdogMs;
        config.retarget.maxVelocityDegS = static_cast<float>(kReplayMaxVelocityDegS);
    });
    MainWindow& window = *m_window;
    SimulatorNode& robot = m_robot->node();
    kestro_app_test::WireRecorder& wire = m_wire;
    UrdfLimits* limits = UrdfLimits::instance();

    EXPECT_FALSE(window.replayCommandsAction()->isEnabled());
    ASSERT_TRUE(openRecordingAndWait(window, path("commands.mcap")));
    EXPECT_TRUE(window.replayCommandsAction()->isEnabled());

    // The robot reports live: its telemetry, not the recording's, is shown.
    ASSERT_TRUE(processEventsUntil([&] { return window.robotBadge()->text().contains(QStringLiteral("online")); }, 5s));
    processEventsFor(300ms);
    EXPECT_FALSE(window.showsRecordedTelemetry());

    // Cancelled: nothing moves, before or after the question.
    const auto wireCount = [&] { return wire.count(); };
    QString question;
    std::size_t atQuestion = 99;
    answerConfirmation(QMessageBox::Cancel, question, wireCount, atQuestion);
    window.replayCommandsAction()->trigger();
    EXPECT_TRUE(question.contains(QStringLiteral("\"%1\"").arg(QLatin1String(kReplayRobotId))))
        << question.toStdString();
    EXPECT_TRUE(question.contains(QStringLiteral("will move")));
    EXPECT_EQ(atQuestion, 0u);
    EXPECT_FALSE(window.isReplayingCommands());
    processEventsFor(400ms);
    EXPECT_EQ(wire.count(), 0u);

    // Confirmed: the robot follows, clamped and speed-limited.
    window.playbackClock()->seek(0);
    answerConfirmation(QMessageBox::Yes, question, wireCount, atQuestion);
    window.replayCommandsAction()->trigger();
    EXPECT_EQ(atQuestion, 0u);
    ASSERT_TRUE(window.isReplayingCommands());
    const int elbowLimitPwm = limits->angleToPwm(kElbow, 10.0, 2.0);
    ASSERT_TRUE(processEventsUntil([&] { return robot.positions()[kElbow] == elbowLimitPwm; }, 10s));
    // The stream line tells what happens: targets come from the recording, not a person.
    EXPECT_TRUE(processEventsUntil(
        [&] { return window.streamStateLabel()->text().startsWith(QStringLiteral("Sending")); }, 2s))
        << window.streamStateLabel()->text().toStdString();

    // Pausing ends the replay; the watchdog then holds the robot.
    window.playbackBar()->playPauseButton()->click();
    ASSERT_TRUE(processEventsUntil([&] { return !window.isReplayingCommands(); }, 2s));
    processEventsFor(std::chrono::milliseconds(kReplayWatchdogMs + 200));
    const std::size_t afterPause = wire.count();
    processEventsFor(500ms);
    EXPECT_EQ(wire.count(), afterPause);

    const std::vector<WireFrame> frames = wire.frames();
    const UrdfLimits::ChannelCalibration elbow = limits->getCalibration(kElbow);
    const double degreesPerStep = std::abs(elbow.radPerPwm) * 180.0 / kPi;
    const double maxStepDeg = kReplayMaxVelocityDegS / kReplayTxRateHz; // the speed limit over one period
    int previousElbow = elbow.center;
    int ankle = -1;
    ASSERT_GE(frames.size(), 3u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].type, robot_frame::kSetPwm);
        const std::map<int, int>& servos = frames[i].servos;
        if (servos.count(kAnkle)) {
            // The stance preset's value, never the recording's.
            if (ankle < 0)
                ankle = servos.at(kAnkle);
            EXPECT_EQ(servos.at(kAnkle), ankle);
        }
        if (!servos.count(kElbow))
            continue;
        const int value = servos.at(kElbow);
        EXPECT_LE(std::abs(value - previousElbow) * degreesPerStep, maxStepDeg + degreesPerStep) << "frame " << i;
        // Only ever toward the clamped limit: the commands that never went
        // out, which ask for the other side, are not replayed.
        EXPECT_GE((value - previousElbow) * (elbowLimitPwm > elbow.center ? 1 : -1), 0) << "frame " << i;
        EXPECT_LE(value, std::max(elbowLimitPwm, elbow.center));
        EXPECT_GE(value, std::min(elbowLimitPwm, elbow.center));
        previousElbow = value;
    }
    EXPECT_GE(ankle, 0);
    EXPECT_NE(ankle, limits->angleToPwm(kAnkle, 3.0, 0.0));

    // Replaying again, then the emergency stop: it wins at once and latches.
    window.playbackClock()->seek(0);
    answerConfirmation(QMessageBox::Yes, question, wireCount, atQuestion);
    window.replayCommandsAction()->trigger();
    ASSERT_TRUE(window.isReplayingCommands());
    processEventsFor(300ms);
    QPushButton* stop = buttonWithText(window, QStringLiteral("EMERGENCY STOP"));
    ASSERT_NE(stop, nullptr);
    stop->click();
    EXPECT_FALSE(window.isReplayingCommands());
    EXPECT_FALSE(window.isTeleopActive());
    ASSERT_TRUE(lastFrameIs(robot_frame::kStop));
    const std::size_t afterStop = wire.count();
    // Latched: a new replay is refused without a question until Center.
    question.clear();
    answerConfirmation(QMessageBox::Cancel, question, wireCount, atQuestion);
    window.replayCommandsAction()->trigger();
    EXPECT_TRUE(question.isEmpty());
    EXPECT_FALSE(window.isReplayingCommands());
    processEventsFor(500ms);
    EXPECT_EQ(wire.count(), afterStop);
    window.closeRecording();
}

namespace {

// Each report is a JSON document of its own: this many take far longer to
// parse than a stop takes to reach the robot, in a file of a few tens of
// megabytes.
constexpr int kLongRecordingReports = 150000;

void writeLongRecording(const QString& file)
{
    RecordingWriter writer;
    ASSERT_TRUE(writer.start(file.toStdString(), session::channels(), "test"));
    const std::uint64_t begin = RecordingWriter::nowNs();
    const std::array<int, 17> pwm{};
    const std::array<double, 17> angles{};
    std::array<bool, 17> valid{};
    valid.fill(true);
    for (int i = 0; i < kLongRecordingReports; ++i) {
        const std::uint64_t t = begin + static_cast<std::uint64_t>(i) * 10'000'000ull;
        ASSERT_TRUE(writer.post(session::TelemetryChannel, t, session::telemetry(t, pwm, angles, valid)));
    }
    writer.finish();
}

} // namespace

TEST_F(PlaybackOnBroker, TheEmergencyStopGoesOutWhileALongRecordingOpens)
{
    writeLongRecording(path("long.mcap"));
    start("opening");
    MainWindow& window = *m_window;

    ASSERT_TRUE(window.openRecording(path("long.mcap")));
    EXPECT_TRUE(window.statusMessageLabel()->text().startsWith(QStringLiteral("Opening recording")))
        << window.statusMessageLabel()->text().toStdString();
    // One file at a time: a second is refused while the first opens.
    EXPECT_FALSE(window.openRecordingAction()->isEnabled());
    EXPECT_FALSE(window.openRecording(path("long.mcap")));

    // The operator's key press comes through the event queue, behind
    // whatever the window still has to do.
    QCoreApplication::postEvent(&window,
                                new QKeyEvent(QEvent::KeyPress, MainWindow::kEmergencyStopKey, Qt::NoModifier));
    ASSERT_TRUE(lastFrameIs(robot_frame::kStop));
    EXPECT_TRUE(window.isOpeningRecording()) << "the stop waited for the file to be parsed";

    ASSERT_TRUE(processEventsUntil([&] { return !window.isOpeningRecording(); }, 30s));
    EXPECT_TRUE(window.isPlayingRecording());
    // Every report, none lost to the hurry.
    EXPECT_EQ(window.playbackClock()->durationNs(), (kLongRecordingReports - 1) * 10'000'000ll);
    EXPECT_TRUE(window.openRecordingAction()->isEnabled());

    // Closed while a file opens: the window waits for the worker, and
    // nothing calls back into it afterwards.
    ASSERT_TRUE(window.openRecording(path("long.mcap")));
    m_window.reset();
    processEventsFor(100ms);
}
