// Reports what the settings store did during static initialisation, before
// this main() ran; the tests run it with a controlled environment.

#include "config/teleop_config.h"

#include <iostream>
#include <sys/stat.h>

int main()
{
    // Nothing may run before this check: the file must already be there.
    TeleopConfig* config = TeleopConfig::instance();
    struct stat info {};
    const bool existed = ::stat(config->getConfigPath().c_str(), &info) == 0;

    std::cout << "path=" << config->getConfigPath() << '\n'
              << "existed=" << (existed ? 1 : 0) << '\n'
              << "port=" << config->mqtt.port << '\n'
              << "robotId=" << config->mqtt.robotId << '\n'
              << "width=" << config->camera.width << '\n'
              << "problem=" << config->loadProblem() << '\n';
    return 0;
}
