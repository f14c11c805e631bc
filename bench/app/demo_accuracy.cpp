// demo_accuracy: how closely the dashboard follows the demo's animated
// photograph, end to end. The window runs as in production on the "demo:"
// source (camera thread, embedded network, retargeter, transmit loop, MQTT
// client) with teleoperation on; a subscriber on the broker keeps the PWM
// values that reach the wire. Their angles are compared with the script's,
// at the time shift that fits best (the delay through the whole chain).
// The peer is the script's own keypoints through the same retargeter and
// PWM conversion: what a perfect pose network would give, so the error
// splits into the network's part and the pipeline's part. Then the source's
// cost per frame and the camera thread's rate with the network, beside the
// synthetic feed's.
//
//   demo_accuracy --host H --port P --robot-id ID --seconds S [--model FILE]
//
// --model runs the dashboard on that network file instead of the embedded
// one and measures the accuracy alone: bench/app/demo_accuracy --untracked
// passes the embedded network without its tracking outputs, so that the
// estimator runs the detector on every frame, as before it could track.
//
// KESTRO_CONFIG_PATH must name a scratch settings file. bench/app/demo_accuracy
// starts the broker and the X server and runs this.
#include "app/application_setup.h"
#include "bench/app/bench_event_loop.h"
#include "app/main_window.h"
#include "config/teleop_config.h"
#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_client.h"
#include "robot/pose_retargeter.h"
#include "robot/urdf_limits.h"
#include "vision/camera_thread.h"
#include "vision/demo_frame_source.h"
#include "vision/pose_estimator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
// The channels the retargeter drives in upper-body mode, and their names.
constexpr std::array<int, 7> kChannels = {5, 6, 7, 8, 9, 10, 16};
const char* const kChannelNames[] = {"L sh pitch", "L sh roll", "L elbow", "R elbow", "R sh roll", "R sh pitch",
                                     "head yaw"};
// The wire's state is sampled at this period (the transmit rate).
constexpr int kSampleMs = 33;
// Time shifts tried for the delay, in samples.
constexpr int kMaxShiftSamples = 45;

struct Options
{
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string robotId = "kestro";
    int seconds = 60;
    std::string model; // empty: the embedded network
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
        else if (name == "--seconds")
            options.seconds = std::atoi(value.c_str());
        else if (name == "--model")
            options.model = value;
        else
            return false;
    }
    return argc % 2 == 1;
}

using dashboard_bench::runEventsFor;
using dashboard_bench::runEventsUntil;

// The wire as the subscriber saw it: the last PWM value of each channel.
struct Wire
{
    std::mutex mutex;
    std::array<int, 17> pwm{};
    int frames = 0;
};
Wire* g_wire = nullptr;

void onConnect(mosquitto* client, void* userData, int code)
{
    if (code == 0)
        mosquitto_subscribe(client, nullptr, static_cast<const char*>(userData), 0);
}

void onMessage(mosquitto*, void*, const mosquitto_message* message)
{
    const auto* bytes = static_cast<const unsigned char*>(message->payload);
    // A set-PWM frame: "KSB1", type 8, body length, then 5-byte servo records.
    if (message->payloadLength < 6 || bytes[4] != 8)
        return;
    std::lock_guard<std::mutex> lock(g_wire->mutex);
    ++g_wire->frames;
    for (int offset = 6; offset + 5 <= message->payloadLength; offset += 5) {
        const int channel = bytes[offset + 2];
        if (channel < 17)
            g_wire->pwm[static_cast<size_t>(channel)] = static_cast<int16_t>(bytes[offset + 3] | (bytes[offset + 4] << 8));
    }
}

// The person a perfect network would report: the script's keypoints. The
// network always sees the photograph the way it was taken (the demo source
// mirrors it ahead of a camera thread that mirrors).
PoseEstimator::PersonPose scriptedPerson(const DemoAnimator& animator, double seconds)
{
    const FigureKeypoints points = animator.keypointsAt(DemoScript::at(seconds));
    const cv::Size size = animator.frameSize();
    PoseEstimator::PersonPose pose;
    pose.valid = true;
    pose.score = 1.0f;
    for (size_t k = 0; k < points.size(); ++k)
        pose.keypoints[k] = {static_cast<float>(points[k].x / size.width), static_cast<float>(points[k].y / size.height),
                             1.0f};
    return pose;
}

struct Sample
{
    double seconds; // steady clock
    std::array<double, 17> angles;
};

// The script's angle for each channel at a time: what the retargeter reads
// from the exact figure, with no smoothing and no safety margin.
std::array<double, 17> scriptedAngles(const DemoAnimator& animator, double seconds, bool mirror, const std::string& mode)
{
    PoseRetargeter fresh;
    return fresh.process(scriptedPerson(animator, seconds), mirror, 1.0f, 0.0f, 0.0f, mode).angles;
}

struct ChannelError
{
    double mean = 0.0;
    double worst = 0.0;
};

// Per-channel errors of `samples` against the script `shift` seconds earlier.
std::array<ChannelError, kChannels.size()> errorsAt(const std::vector<Sample>& samples, double shift,
                                                   const DemoAnimator& animator, bool mirror, const std::string& mode)
{
    std::array<ChannelError, kChannels.size()> errors{};
    for (const Sample& sample : samples) {
        const std::array<double, 17> want = scriptedAngles(animator, sample.seconds - shift, mirror, mode);
        for (size_t i = 0; i < kChannels.size(); ++i) {
            const double e = std::abs(sample.angles[static_cast<size_t>(kChannels[i])] - want[static_cast<size_t>(kChannels[i])]) * 180.0 / kPi;
            errors[i].mean += e / static_cast<double>(samples.size());
            errors[i].worst = std::max(errors[i].worst, e);
        }
    }
    return errors;
}

double overall(const std::array<ChannelError, kChannels.size()>& errors)
{
    double sum = 0.0;
    for (const ChannelError& e : errors)
        sum += e.mean;
    return sum / static_cast<double>(errors.size());
}

// The shift (a whole number of samples) with the smallest mean error.
double bestShift(const std::vector<Sample>& samples, const DemoAnimator& animator, bool mirror, const std::string& mode)
{
    double best = 0.0, bestError = 1e30;
    for (int s = 0; s <= kMaxShiftSamples; ++s) {
        const double shift = s * kSampleMs / 1000.0;
        const double e = overall(errorsAt(samples, shift, animator, mirror, mode));
        if (e < bestError) {
            bestError = e;
            best = shift;
        }
    }
    return best;
}

std::array<double, 17> anglesOf(const std::array<int, 17>& pwm)
{
    std::array<double, 17> angles{};
    for (int channel : kChannels)
        angles[static_cast<size_t>(channel)] = UrdfLimits::instance()->pwmToAngle(channel, pwm[static_cast<size_t>(channel)]);
    return angles;
}

void printErrors(const char* who, const std::array<ChannelError, kChannels.size()>& errors, double shift,
                 const std::array<ChannelError, kChannels.size()>* peer)
{
    std::printf("%s, delay %.0f ms: mean error %.2f deg over the channels\n", who, shift * 1000.0, overall(errors));
    for (size_t i = 0; i < kChannels.size(); ++i) {
        std::printf("  ch %2d %-10s mean %6.2f deg  worst %6.2f deg", kChannels[i], kChannelNames[i], errors[i].mean,
                    errors[i].worst);
        if (peer)
            std::printf("   (peer mean %5.2f, ratio %5.2f)", (*peer)[i].mean,
                        errors[i].mean / std::max(0.01, (*peer)[i].mean));
        std::printf("\n");
    }
}

// The perfect-network peer: the script's keypoints at the camera's rate
// through the dashboard's retargeter settings and the PWM conversion.
std::vector<Sample> peerSamples(const DemoAnimator& animator, double from, double to, int fps, bool mirror)
{
    const TeleopConfig& config = *TeleopConfig::instance();
    PoseRetargeter retargeter;
    std::vector<Sample> samples;
    for (double t = std::ceil(from * fps) / fps; t < to; t += 1.0 / fps) {
        const RetargetResult result =
            retargeter.process(scriptedPerson(animator, t), mirror, config.retarget.smoothingAlpha,
                               config.retarget.deadbandDeg, config.safety.safetyMarginDeg, config.retarget.mode);
        std::array<int, 17> pwm{};
        std::copy(result.pwm.begin(), result.pwm.end(), pwm.begin());
        samples.push_back({t, anglesOf(pwm)});
    }
    return samples;
}

void measureAccuracy(MainWindow& window, const Options& options)
{
    const TeleopConfig& config = *TeleopConfig::instance();
    const bool mirror = config.camera.mirrorVideo;
    const DemoAnimator animator(DemoFrameSource::footballer(), cv::Size(config.camera.width, config.camera.height));

    Wire wire;
    wire.pwm.fill(-1);
    g_wire = &wire;
    const std::string topic = "robot/kestro/" + options.robotId + "/control";
    mosquitto* subscriber = mosquitto_new("demo-accuracy-probe", true, const_cast<char*>(topic.c_str()));
    mosquitto_connect_callback_set(subscriber, onConnect);
    mosquitto_message_callback_set(subscriber, onMessage);
    mosquitto_connect(subscriber, options.host.c_str(), options.port, 30);
    mosquitto_loop_start(subscriber);

    int frames = 0, tracked = 0, armsSeen = 0;
    const QMetaObject::Connection counting = QObject::connect(
        window.cameraThread(), &CameraThread::frameReady, &window,
        [&](const QImage&, const PoseEstimator::PersonPose& pose) {
            ++frames;
            tracked += pose.valid ? 1 : 0;
            bool arms = pose.valid;
            for (int k : {5, 6, 7, 8, 9, 10})
                arms = arms && pose.keypoints[static_cast<size_t>(k)].confidence > 0.35f;
            armsSeen += arms ? 1 : 0;
        });
    // Warm-up: the first inferences, the first full frame on the wire.
    runEventsFor(std::chrono::seconds(3));
    frames = tracked = armsSeen = 0;

    std::vector<Sample> samples;
    const auto start = Clock::now();
    auto next = start;
    while (Clock::now() - start < std::chrono::seconds(options.seconds)) {
        next += std::chrono::milliseconds(kSampleMs);
        while (Clock::now() < next)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::array<int, 17> pwm;
        {
            std::lock_guard<std::mutex> lock(wire.mutex);
            pwm = wire.pwm;
        }
        if (std::any_of(kChannels.begin(), kChannels.end(), [&](int c) { return pwm[static_cast<size_t>(c)] < 0; }))
            continue; // not every channel has been on the wire yet
        samples.push_back({DemoFrameSource::clockSeconds(Clock::now()), anglesOf(pwm)});
    }
    QObject::disconnect(counting);
    mosquitto_loop_stop(subscriber, true);
    mosquitto_destroy(subscriber);
    g_wire = nullptr;

    std::printf("demo source through the dashboard: %d s, %zu wire samples, %d set-PWM frames\n", options.seconds,
                samples.size(), wire.frames);
    std::printf("tracked: %d of %d frames (%.1f%%) with a person; %.1f%% with both arms seen\n", tracked, frames,
                100.0 * tracked / std::max(1, frames), 100.0 * armsSeen / std::max(1, frames));
    if (samples.empty())
        return;
    const std::vector<Sample> peer =
        peerSamples(animator, samples.front().seconds, samples.back().seconds, config.camera.targetFps, mirror);
    const double peerShift = bestShift(peer, animator, mirror, config.retarget.mode);
    const auto peerErrors = errorsAt(peer, peerShift, animator, mirror, config.retarget.mode);
    const double shift = bestShift(samples, animator, mirror, config.retarget.mode);
    const auto errors = errorsAt(samples, shift, animator, mirror, config.retarget.mode);
    printErrors("dashboard on the wire (network + pipeline + wire)", errors, shift, &peerErrors);
    printErrors("peer: scripted keypoints through the retargeter (pipeline alone)", peerErrors, peerShift, nullptr);
    std::printf("ratio of mean errors dashboard/peer: %.2f\n", overall(errors) / std::max(0.01, overall(peerErrors)));
}

// Frames a camera thread with the network delivers per second over `seconds`.
double cameraRate(std::shared_ptr<PoseEstimator> estimator, FrameSourceFactory factory, int seconds)
{
    CameraThread thread(estimator);
    thread.setCameraConfig(0, 640, 480, 30, true);
    thread.setFrameSourceFactory(std::move(factory));
    int frames = 0;
    QObject::connect(&thread, &CameraThread::frameReady, &thread, [&frames] { ++frames; }, Qt::DirectConnection);
    thread.start();
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the first inference warms up
    const int before = frames;
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const int after = frames;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    thread.stopAndWait();
    return (after - before) / wall;
}

void measureCost()
{
    const DemoAnimator animator(DemoFrameSource::footballer(), cv::Size(640, 480));
    constexpr int kFrames = 300;
    cv::Mat frame;
    auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        animator.render(DemoScript::at(i / 30.0), frame);
    const double demoMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kFrames;
    start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        frame = CameraThread::syntheticFrame(640, 480, i * 0.04);
    const double syntheticMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kFrames;
    std::printf("cost per frame: demo source %.2f ms (640x399), synthetic feed %.2f ms (640x480); ratio %.2f\n",
                demoMs, syntheticMs, demoMs / syntheticMs);

    auto estimator = std::make_shared<PoseEstimator>();
    estimator->init(PoseEstimator::kEmbeddedModelPath, "cpu");
    // Interleaved, so that both meet the same neighbours on a shared machine.
    const FrameSourceFactory synthetic = [](const FrameSourceRequest&, std::string& error) {
        error = "synthetic feed";
        return std::unique_ptr<FrameSource>();
    };
    std::vector<double> demoRates, syntheticRates;
    for (int round = 0; round < 2; ++round) {
        demoRates.push_back(cameraRate(estimator, DemoFrameSource::factoryFor(DemoFrameSource::kLocation, true), 8));
        syntheticRates.push_back(cameraRate(estimator, synthetic, 8));
    }
    const auto mean = [](const std::vector<double>& v) { return (v[0] + v[1]) / 2.0; };
    std::printf("camera thread with the network at 30 fps: demo %.1f fps (%.1f, %.1f), synthetic feed %.1f fps "
                "(%.1f, %.1f); ratio %.2f\n",
                mean(demoRates), demoRates[0], demoRates[1], mean(syntheticRates), syntheticRates[0],
                syntheticRates[1], mean(demoRates) / mean(syntheticRates));
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: demo_accuracy --host H --port P --robot-id ID --seconds S [--model FILE]\n");
        return 2;
    }
    if (!std::getenv("KESTRO_CONFIG_PATH")) {
        std::fprintf(stderr, "demo_accuracy: set KESTRO_CONFIG_PATH to a scratch settings file\n");
        return 2;
    }
    ::unsetenv("KESTRO_DISABLE_AUTO_CAMERA");
    ::unsetenv("KESTRO_DISABLE_AUTO_MQTT");

    selectTeleopSurfaceFormat();
    QApplication app(argc, argv);
    Q_INIT_RESOURCE(teleop_resources);
    registerTeleopMetaTypes();

    TeleopConfig& config = *TeleopConfig::instance();
    config.populateDefaults();
    config.mqtt.host = options.host;
    config.mqtt.port = options.port;
    config.mqtt.robotId = options.robotId;
    config.mqtt.autoConnect = true;
    if (!options.model.empty()) {
        config.ai.modelSource = "custom";
        config.ai.customModelPath = options.model;
    }
    if (!config.save("")) {
        std::fprintf(stderr, "demo_accuracy: cannot write %s\n", config.getConfigPath().c_str());
        return 1;
    }

    std::printf("machine: %u cores, load average before the run: ", std::thread::hardware_concurrency());
    std::fflush(stdout);
    std::system("cut -d' ' -f1-3 /proc/loadavg");
    {
        MainWindow::RunOptions runOptions;
        runOptions.videoSource = DemoFrameSource::kLocation;
        MainWindow window(nullptr, nullptr, runOptions);
        window.show();
        if (!runEventsUntil([&] { return window.mqttClient()->isConnected(); }, std::chrono::seconds(20))) {
            std::fprintf(stderr, "demo_accuracy: no broker at %s:%d\n", options.host.c_str(), options.port);
            return 1;
        }
        window.teleopButton()->click();
        measureAccuracy(window, options);
        window.cameraThread()->stopAndWait();
    }
    // The source's cost and rate do not depend on the network file.
    if (options.model.empty())
        measureCost();
    return 0;
}
