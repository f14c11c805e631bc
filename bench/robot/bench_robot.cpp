// Costs of the robot model on the GUI thread, each next to a peer measured
// in the same run:
//  - init() from the embedded resources vs. only parsing the same two
//    documents with pugixml and Qt's JSON classes (the floor for any loader);
//  - angleToPwm over 17 channels vs. the bare conversion formula without
//    lookups or guards (what the safety checks cost);
//  - PoseRetargeter::process per frame vs. the 33.3 ms frame budget at 30 fps.
#include "robot/pose_retargeter.h"
#include "robot/urdf_limits.h"

#include <QFile>
#include <QJsonDocument>

#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

volatile double g_sink = 0.0; // keeps results alive past the optimiser

// Median over rounds of the mean time per call, in nanoseconds.
template <typename Body>
double nanosecondsPerCall(int rounds, int callsPerRound, Body body)
{
    std::vector<double> samples;
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        for (int i = 0; i < callsPerRound; ++i)
            body(i);
        const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
        samples.push_back(elapsed.count() / callsPerRound);
    }
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

QByteArray readResource(const char* path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "bench_robot: cannot read %s\n", path);
        return {};
    }
    return file.readAll();
}

std::vector<PoseEstimator::PersonPose> randomPoses(int count)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::vector<PoseEstimator::PersonPose> poses(count);
    for (auto& pose : poses) {
        pose.valid = true;
        for (auto& keypoint : pose.keypoints)
            keypoint = {unit(random), unit(random), 0.3f + 0.7f * unit(random)};
    }
    return poses;
}

void report(const char* what, double ours, const char* peer, double theirs)
{
    std::printf("%-34s %12.1f ns   %-36s %12.1f ns   ratio %.3g\n", what, ours, peer, theirs, ours / theirs);
}

} // namespace

int main()
{
    Q_INIT_RESOURCE(teleop_resources);
    const QByteArray urdf = readResource(":/model/kestro.urdf");
    const QByteArray table = readResource(":/model/calibration.json");
    if (urdf.isEmpty() || table.isEmpty())
        return 1;

    const double initNs = nanosecondsPerCall(9, 50, [](int) {
        UrdfLimits limits;
        limits.init(":/model/kestro.urdf", ":/model/calibration.json");
        g_sink = limits.getCalibration(3).lower;
    });
    const double parseNs = nanosecondsPerCall(9, 50, [&](int) {
        pugi::xml_document document;
        document.load_buffer(urdf.constData(), static_cast<size_t>(urdf.size()));
        const QJsonDocument json = QJsonDocument::fromJson(table);
        g_sink = json.isObject() ? 1.0 : 0.0;
    });
    report("init (embedded URDF + table)", initNs, "parse both documents only", parseNs);

    UrdfLimits limits;
    limits.init(":/model/kestro.urdf", ":/model/calibration.json");
    std::array<UrdfLimits::ChannelCalibration, kServoCount> rows;
    for (int channel = 0; channel < kServoCount; ++channel)
        rows[channel] = limits.getCalibration(channel);

    const double convertNs = nanosecondsPerCall(15, 20000, [&](int i) {
        int sum = 0;
        const double angle = 0.001 * (i % 1000) - 0.5;
        for (int channel = 0; channel < kServoCount; ++channel)
            sum += limits.angleToPwm(channel, angle, 5.0);
        g_sink = sum;
    });
    const double bareNs = nanosecondsPerCall(15, 20000, [&](int i) {
        int sum = 0;
        const double angle = 0.001 * (i % 1000) - 0.5;
        for (const auto& row : rows) {
            const double clamped = std::clamp(angle, row.lower, row.upper);
            sum += static_cast<int>(std::lround(clamped / (row.radPerPwm * row.sign) + row.center));
        }
        g_sink = sum;
    });
    report("angleToPwm x 17 channels", convertNs, "bare formula x 17 (no guards)", bareNs);

    const std::vector<PoseEstimator::PersonPose> poses = randomPoses(1024);
    PoseRetargeter retargeter(limits);
    const double processNs = nanosecondsPerCall(15, 5000, [&](int i) {
        const RetargetResult result = retargeter.process(poses[i % poses.size()], i % 2 == 0, 0.5f, 1.0f, 5.0f,
                                                         "full_body");
        g_sink = result.angles[16];
    });
    report("PoseRetargeter::process per frame", processNs, "frame budget at 30 fps", 1e9 / 30.0);
    return 0;
}
