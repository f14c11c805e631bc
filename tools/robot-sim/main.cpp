// kestro-robot-sim: a simulated robot for using and testing the dashboard
// without hardware.
#include "robot/urdf_limits.h"
#include "tools/robot-sim/simulator_node.h"
#include "tools/robot-sim/simulator_options.h"

#include <QtGlobal>

#include <atomic>
#include <csignal>
#include <iostream>

namespace {

std::atomic<bool> g_stopRequested{false};

void requestStop(int)
{
    g_stopRequested = true;
}

std::array<int, RobotSimulator::kChannelCount> calibrationCentres()
{
    UrdfLimits& limits = *UrdfLimits::instance();
    limits.init(":/model/kestro.urdf", ":/model/calibration.json");
    std::array<int, RobotSimulator::kChannelCount> centres{};
    for (int ch = 0; ch < RobotSimulator::kChannelCount; ++ch)
        centres[ch] = limits.getCalibration(ch).center;
    return centres;
}

} // namespace

int main(int argc, char** argv)
{
    Q_INIT_RESOURCE(teleop_resources);

    SimulatorOptions options;
    std::string error;
    if (!options.parse(std::vector<std::string>(argv + 1, argv + argc), error)) {
        std::cerr << "kestro-robot-sim: " << error << "\n\n" << SimulatorOptions::usage();
        return 2;
    }
    if (options.help) {
        std::cout << SimulatorOptions::usage();
        return 0;
    }

    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    SimulatorNode node(options, calibrationCentres(), std::cout, std::cerr);
    if (!node.start())
        return 1;
    node.run(g_stopRequested);
    std::cout << "robot-sim: stopped" << std::endl;
    return 0;
}
