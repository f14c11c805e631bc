// teleop_session: a real dashboard session for measurements and pictures.
// The window runs as in production (camera thread with the synthetic feed
// and the embedded network, broker connection, simulator on the far side);
// scripts/screenshot and bench/app/measure_session drive it.
//
//   teleop_session --host H --port P --robot-id ID --screenshot out.png
//   teleop_session --host H --port P --robot-id ID --measure SECONDS [--latency SECONDS]
//                  [--person-clip FILE]
//
// --person-clip FILE: the camera plays FILE (written first when it does not
// exist: the footballer's photograph swaying a little, 640x480 at 30 fps,
// so that the network sees a person who moves), and the latency stand-in
// camera hands the network the same pictures instead of the synthetic feed.
//
// KESTRO_CONFIG_PATH must name a scratch settings file: the session writes
// its broker address there and must never touch an operator's settings.
#include "app/application_setup.h"
#include "bench/app/bench_event_loop.h"
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_client.h"
#include "robot/joint_set.h"
#include "tests/vision/video_clip_writer.h"
#include "ui/video_source_picker.h"
#include "vision/camera_thread.h"
#include "vision/cv_core.h"
#include "vision/pose_estimator.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QFileInfo>
#include <QLabel>
#include <QMetaObject>
#include <QPixmap>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QSurfaceFormat>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options
{
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string robotId = "kestro";
    std::string screenshotPath;
    int measureSeconds = 0;
    int latencySeconds = 20;
    // Records the session to this file while measuring.
    std::string recordPath;
    // A clip of a person for the camera; empty for the synthetic feed.
    std::string personClip;
};

bool parseOptions(int argc, char** argv, Options& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string name = argv[i];
        const std::string value = argv[i + 1];
        if (name == "--host")
            options.host = value;
        else if (name == "--port")
            options.port = std::atoi(value.c_str());
        else if (name == "--robot-id")
            options.robotId = value;
        else if (name == "--screenshot")
            options.screenshotPath = value;
        else if (name == "--measure")
            options.measureSeconds = std::atoi(value.c_str());
        else if (name == "--latency")
            options.latencySeconds = std::atoi(value.c_str());
        else if (name == "--record")
            options.recordPath = value;
        else if (name == "--person-clip")
            options.personClip = value;
        else
            return false;
    }
    return !options.screenshotPath.empty() || options.measureSeconds > 0;
}

using dashboard_bench::runEventsFor;
using dashboard_bench::runEventsUntil;

// CPU seconds (utime + stime) from a /proc stat file.
double cpuSecondsFromStat(const std::string& path)
{
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses and may hold spaces.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14)
            utime = std::stoull(field);
        if (index == 15) {
            stime = std::stoull(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of every thread of this process, by thread id, with each
// thread's name. The GUI thread is the main thread, whose id is the process
// id; the others (camera thread, inference workers, the MQTT network thread,
// the software rasteriser's threads) are named by the kernel's comm field.
struct ThreadCpu
{
    std::string name;
    double seconds = 0.0;
};

std::map<int, ThreadCpu> threadCpuSeconds()
{
    std::map<int, ThreadCpu> threads;
    QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString& entry : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const std::string folder = "/proc/self/task/" + entry.toStdString();
        std::ifstream comm(folder + "/comm");
        ThreadCpu thread;
        std::getline(comm, thread.name);
        thread.seconds = cpuSecondsFromStat(folder + "/stat");
        threads[entry.toInt()] = thread;
    }
    return threads;
}

// Per-thread CPU between two samples, summed by thread kind: a thread's
// name without its trailing number ("llvmpipe-3" counts as "llvmpipe"), the
// main thread as "GUI thread". Threads that started in between count from 0.
std::map<std::string, double> cpuByThreadKind(const std::map<int, ThreadCpu>& before,
                                              const std::map<int, ThreadCpu>& after)
{
    std::map<std::string, double> kinds;
    for (const auto& [id, thread] : after) {
        const auto earlier = before.find(id);
        const double used = thread.seconds - (earlier != before.end() ? earlier->second.seconds : 0.0);
        std::string kind = thread.name;
        while (!kind.empty() && (std::isdigit(static_cast<unsigned char>(kind.back())) || kind.back() == '-'))
            kind.pop_back();
        if (id == ::getpid())
            kind = "GUI thread";
        kinds[kind] += used;
    }
    return kinds;
}

long residentKb()
{
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    }
    return -1;
}

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(fraction * (values.size() - 1) + 0.5));
    return values[index];
}

// The person clip: the footballer's photograph on a 640x480 grey frame,
// swaying sideways by up to 24 pixels once every clip length, so that the
// clip loops without a jump and the network's crop has to follow.
constexpr int kPersonClipFrames = 90;
constexpr int kPersonClipFps = 30;

cv::Mat personFrame(int step)
{
    static const cv::Mat photograph =
        vision_test::loadPhotograph(KESTRO_SOURCE_DIR "/tests/vision/data/messi5.jpg", 548, 342);
    cv::Mat frame(480, 640, cv::CV_8UC3);
    for (int y = 0; y < frame.rows; ++y)
        std::memset(frame.ptr(y), 114, static_cast<size_t>(frame.cols) * 3);
    const double phase = 2.0 * 3.14159265358979 * (step % kPersonClipFrames) / kPersonClipFrames;
    const int left = 46 + static_cast<int>(std::lround(24.0 * std::sin(phase)));
    for (int y = 0; y < photograph.rows; ++y)
        std::memcpy(frame.ptr(69 + y) + 3 * left, photograph.ptr(y), static_cast<size_t>(photograph.cols) * 3);
    return frame;
}

bool writePersonClip(const std::string& path)
{
    if (QFileInfo::exists(QString::fromStdString(path)))
        return true;
    std::vector<cv::Mat> frames;
    for (int step = 0; step < kPersonClipFrames; ++step)
        frames.push_back(personFrame(step));
    std::string error;
    if (!vision_test::writeVideoClip(path, frames, kPersonClipFps, "mpeg4", error)) {
        std::fprintf(stderr, "teleop_session: cannot write %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

// A person with the left forearm sweeping up in a ramp: every step commands
// a new elbow angle for a while, then it starts over.
PoseEstimator::PersonPose rampPose(int step)
{
    PoseEstimator::PersonPose pose;
    auto set = [&pose](int index, double x, double y) {
        pose.keypoints[index] = {static_cast<float>(x), static_cast<float>(y), 0.9f};
    };
    const double ramp = static_cast<double>(step % 60) / 60.0;
    set(0, 0.50, 0.20);
    set(1, 0.48, 0.18);
    set(2, 0.52, 0.18);
    set(3, 0.46, 0.19);
    set(4, 0.54, 0.19);
    set(5, 0.40, 0.32);
    set(6, 0.60, 0.32);
    set(7, 0.30, 0.42);
    set(8, 0.70, 0.42);
    set(9, 0.30 - 0.12 * ramp, 0.56 - 0.30 * ramp);
    set(10, 0.78, 0.30);
    set(11, 0.44, 0.60);
    set(12, 0.56, 0.60);
    set(13, 0.44, 0.78);
    set(14, 0.56, 0.78);
    set(15, 0.44, 0.95);
    set(16, 0.56, 0.95);
    pose.x1 = 0.2f;
    pose.y1 = 0.1f;
    pose.x2 = 0.8f;
    pose.y2 = 0.98f;
    pose.score = 0.92f;
    pose.valid = true;
    return pose;
}

// The commanded values of the channels the camera's pose drives (arms and
// head) as one key; channels never sent are -1. The legs are left out: the
// stance preset, not the pose, sets them.
std::string pwmKey(const std::array<int, 17>& pwm)
{
    std::string key;
    for (int channel : {5, 6, 7, 8, 9, 10, 16})
        key += std::to_string(pwm[channel]) + ",";
    return key;
}

// Latency bookkeeping shared by the GUI thread (which records when each
// commanded state was first produced) and the subscriber's network thread
// (which sees the frames arrive).
struct LatencyProbe
{
    std::mutex mutex;
    std::map<std::string, Clock::time_point> firstCapture;
    std::array<int, 17> wireState{};
    std::vector<double> latenciesMs;
    int unmatched = 0;
};

void onProbeConnect(mosquitto* client, void* userData, int code)
{
    if (code == 0)
        mosquitto_subscribe(client, nullptr, static_cast<const char*>(userData), 0);
}

LatencyProbe* g_probe = nullptr;

void onProbeMessage(mosquitto*, void*, const mosquitto_message* message)
{
    const auto arrival = Clock::now();
    const auto* bytes = static_cast<const unsigned char*>(message->payload);
    if (message->payloadLength < 6 || bytes[4] != 8)
        return;
    std::lock_guard<std::mutex> lock(g_probe->mutex);
    for (int offset = 6; offset + 5 <= message->payloadLength; offset += 5) {
        const int channel = bytes[offset + 2];
        if (channel < 17)
            g_probe->wireState[channel] = static_cast<int16_t>(bytes[offset + 3] | (bytes[offset + 4] << 8));
    }
    const auto found = g_probe->firstCapture.find(pwmKey(g_probe->wireState));
    if (found == g_probe->firstCapture.end()) {
        ++g_probe->unmatched;
        return;
    }
    g_probe->latenciesMs.push_back(std::chrono::duration<double, std::milli>(arrival - found->second).count());
}

void measureLatency(MainWindow& window, const Options& options)
{
    // The window's own camera stops; a stand-in camera on its own thread
    // does what the camera thread does per frame (synthetic picture,
    // inference with the embedded network, conversion) but hands over a
    // known, moving pose, so that every frame commands the robot.
    window.cameraThread()->stopCapture();
    window.cameraThread()->wait();

    LatencyProbe probe;
    probe.wireState.fill(-1);
    g_probe = &probe;
    const std::string topic = "robot/kestro/" + options.robotId + "/control";
    mosquitto* subscriber = mosquitto_new("teleop-session-probe", true, const_cast<char*>(topic.c_str()));
    mosquitto_connect_callback_set(subscriber, onProbeConnect);
    mosquitto_message_callback_set(subscriber, onProbeMessage);
    mosquitto_connect(subscriber, options.host.c_str(), options.port, 30);
    mosquitto_loop_start(subscriber);
    runEventsFor(std::chrono::milliseconds(500));

    PoseEstimator estimator;
    estimator.init(PoseEstimator::kEmbeddedModelPath, "cpu");
    std::vector<double> inferenceMs;
    std::atomic<bool> stop{false};
    std::thread camera([&] {
        const int budgetMs = CameraThread::frameBudgetMs(TeleopConfig::instance()->camera.targetFps);
        for (int step = 0; !stop; ++step) {
            const auto capture = Clock::now();
            cv::Mat frame = options.personClip.empty() ? CameraThread::syntheticFrame(640, 480, step * 0.04)
                                                       : personFrame(step);
            const auto inferenceStart = Clock::now();
            estimator.infer(frame, 0.5f, 0.4f, "largest");
            inferenceMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - inferenceStart).count());
            cv::cvtColor(frame, frame, cv::COLOR_BGR2RGB);
            const QImage image =
                QImage(frame.data, frame.cols, frame.rows, static_cast<qsizetype>(frame.step), QImage::Format_RGB888)
                    .copy();
            const PoseEstimator::PersonPose pose = rampPose(step);
            QMetaObject::invokeMethod(
                &window,
                [&window, &probe, image, pose, capture] {
                    // Held across onFrameReady, which may publish at once:
                    // the probe must know the command before it sees it arrive.
                    std::lock_guard<std::mutex> lock(probe.mutex);
                    window.onFrameReady(image, pose);
                    std::array<int, 17> commanded;
                    for (int c = 0; c < 17; ++c)
                        commanded[c] = window.targetValid()[c] ? window.targetPwm()[c] : -1;
                    // The first capture that asked for this command counts;
                    // old entries are replaced when the ramp comes round again.
                    auto [entry, inserted] = probe.firstCapture.emplace(pwmKey(commanded), capture);
                    if (!inserted && capture - entry->second > std::chrono::seconds(1))
                        entry->second = capture;
                },
                Qt::QueuedConnection);
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - capture).count();
            if (elapsed < budgetMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(budgetMs - elapsed));
        }
    });
    runEventsFor(std::chrono::seconds(options.latencySeconds));
    stop = true;
    camera.join();
    runEventsFor(std::chrono::milliseconds(300));
    mosquitto_loop_stop(subscriber, true);
    mosquitto_destroy(subscriber);

    std::lock_guard<std::mutex> lock(probe.mutex);
    const double txPeriodMs = window.txTimer().interval();
    std::printf("latency capture -> PWM frame on the wire (%zu frames, %d unmatched): median %.1f ms, p95 %.1f ms\n",
                probe.latenciesMs.size(), probe.unmatched, percentile(probe.latenciesMs, 0.5),
                percentile(probe.latenciesMs, 0.95));
    const double inferenceMedian = percentile(inferenceMs, 0.5);
    std::printf("  of which inference (median): %.1f ms; transmit period %.0f ms\n", inferenceMedian, txPeriodMs);
    std::printf("  peer: inference + one transmit period = %.1f ms; ratio median/peer %.2f\n",
                inferenceMedian + txPeriodMs,
                percentile(probe.latenciesMs, 0.5) / std::max(1.0, inferenceMedian + txPeriodMs));
    g_probe = nullptr;
}

void measureSession(MainWindow& window, const Options& options)
{
    std::printf("session: %d s with %s, embedded network (%s), teleoperation active\n", options.measureSeconds,
                options.personClip.empty() ? "the synthetic feed" : "a clip of a person",
                window.aiBadge()->text().toUtf8().constData());
    const double targetFps = TeleopConfig::instance()->camera.targetFps;
    std::vector<double> fpsSamples;
    std::vector<std::pair<int, long>> rssSamples;
    runEventsFor(std::chrono::seconds(3)); // warm-up: first inferences, first second of rate measurement
    // Frames the window showed: on a loaded machine the rate says more about
    // the neighbours than about us, the CPU each frame cost does not.
    int framesShown = 0;
    const QMetaObject::Connection counting =
        QObject::connect(window.cameraThread(), &CameraThread::frameReady, &window, [&framesShown] { ++framesShown; });
    const auto start = Clock::now();
    const std::map<int, ThreadCpu> threadsStart = threadCpuSeconds();
    for (int second = 1; second <= options.measureSeconds; ++second) {
        runEventsFor(std::chrono::seconds(1));
        fpsSamples.push_back(window.cameraThread()->getActualFps());
        if (second == 1 || second % 30 == 0 || second == options.measureSeconds)
            rssSamples.emplace_back(second, residentKb());
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const std::map<std::string, double> kinds = cpuByThreadKind(threadsStart, threadCpuSeconds());
    QObject::disconnect(counting);
    double process = 0.0;
    for (const auto& [kind, seconds] : kinds)
        process += seconds;

    const double fpsMedian = percentile(fpsSamples, 0.5);
    std::printf("camera thread: median %.1f fps, min %.1f (target %.0f; ratio %.2f)\n", fpsMedian,
                percentile(fpsSamples, 0.0), targetFps, fpsMedian / targetFps);
    std::printf("whole process CPU: %.1f%% of one core (%zu kinds of thread):", 100.0 * process / wall, kinds.size());
    for (const auto& [kind, seconds] : kinds) {
        if (seconds >= 0.005 * wall)
            std::printf(" %s %.1f%%", kind.c_str(), 100.0 * seconds / wall);
    }
    std::printf("\n");
    const double perFrame = 1000.0 / std::max(1, framesShown);
    std::printf("CPU per shown frame (%d frames): %.1f ms;", framesShown, process * perFrame);
    for (const auto& [kind, seconds] : kinds) {
        if (seconds >= 0.005 * wall)
            std::printf(" %s %.2f", kind.c_str(), seconds * perFrame);
    }
    std::printf("\n");
    std::printf("resident memory (kB):");
    for (const auto& [second, kb] : rssSamples)
        std::printf(" %ds=%ld", second, kb);
    std::printf("\n");
    if (rssSamples.size() >= 2)
        std::printf("  growth from first to last sample: %+ld kB\n", rssSamples.back().second - rssSamples.front().second);
    measureLatency(window, options);
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: teleop_session --host H --port P --robot-id ID (--screenshot PNG | --measure S "
                             "[--latency S]) [--person-clip FILE]\n");
        return 2;
    }
    if (!std::getenv("KESTRO_CONFIG_PATH")) {
        std::fprintf(stderr, "teleop_session: set KESTRO_CONFIG_PATH to a scratch settings file\n");
        return 2;
    }
    ::unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    ::unsetenv("KESTRO_DISABLE_AUTO_MQTT");

    selectTeleopSurfaceFormat();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    QApplication::setApplicationName(QStringLiteral("Kestro Teleop"));
    QApplication::setApplicationVersion(QString::fromLatin1(MainWindow::kVersion));
    registerTeleopMetaTypes();

    TeleopConfig& config = *TeleopConfig::instance();
    config.populateDefaults();
    config.mqtt.host = options.host;
    config.mqtt.port = options.port;
    config.mqtt.robotId = options.robotId;
    config.mqtt.autoConnect = true;
    // Measured is how soon a command reaches the wire, not the speed limit's
    // ramp: every command must go out as it was asked for.
    config.retarget.maxVelocityDegS = 0.0f;
    if (!options.personClip.empty()) {
        if (!writePersonClip(options.personClip))
            return 1;
        config.camera.sourceType = VideoSourcePicker::kMediaSource;
        config.camera.mediaLocation = options.personClip;
    }
    if (!config.save("")) {
        std::fprintf(stderr, "teleop_session: cannot write %s\n", config.getConfigPath().c_str());
        return 1;
    }

    MainWindow window(nullptr);
    window.show();
    if (!runEventsUntil([&] { return window.mqttClient()->isConnected(); }, std::chrono::seconds(20))) {
        std::fprintf(stderr, "teleop_session: no broker at %s:%d\n", options.host.c_str(), options.port);
        return 1;
    }
    // Telemetry and frames flowing before teleoperation is switched on.
    runEventsFor(std::chrono::seconds(3));
    window.teleopButton()->click();

    if (!options.screenshotPath.empty()) {
        runEventsFor(std::chrono::seconds(2));
        // After the start-up messages (the missing camera) have gone.
        runEventsUntil([&] { return window.statusBar()->currentMessage().isEmpty(); }, std::chrono::seconds(8));
        // The pixels the X server shows, as an operator would see them.
        const QPixmap picture = window.screen()->grabWindow(window.winId());
        if (!picture.save(QString::fromStdString(options.screenshotPath))) {
            std::fprintf(stderr, "teleop_session: cannot write %s\n", options.screenshotPath.c_str());
            return 1;
        }
        std::printf("screenshot: %s\n", options.screenshotPath.c_str());
    }
    const auto recordingStart = Clock::now();
    if (!options.recordPath.empty())
        window.startRecording(QString::fromStdString(options.recordPath));
    if (options.measureSeconds > 0)
        measureSession(window, options);
    if (!options.recordPath.empty()) {
        const double minutes = std::chrono::duration<double>(Clock::now() - recordingStart).count() / 60.0;
        const double megabytes = static_cast<double>(QFileInfo(QString::fromStdString(options.recordPath)).size()) / 1e6;
        std::printf("recording: %.1f MB in %.2f min, %.1f MB per minute; status bar: %s\n", megabytes, minutes,
                    megabytes / minutes, window.recordStatusLabel()->text().toUtf8().constData());
        window.stopRecording();
    }
    return 0;
}
