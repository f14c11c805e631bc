#include "tools/robot-sim/simulator_options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

bool parseNumber(const std::string& text, double& out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value))
        return false;
    out = value;
    return true;
}

} // namespace

bool SimulatorOptions::parse(const std::vector<std::string>& arguments, std::string& error)
{
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool hasInlineValue = false;
        if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasInlineValue = true;
        }

        if (name == "--help" || name == "-h") {
            help = true;
            continue;
        }
        if (name == "--quiet") {
            quiet = true;
            continue;
        }
        if (name == "--tls" || name == "--tls-insecure") {
            tls = true;
            tlsInsecure = tlsInsecure || name == "--tls-insecure";
            continue;
        }

        const bool takesValue = name == "--host" || name == "--port" || name == "--robot-id" || name == "--username"
                                || name == "--password" || name == "--rate" || name == "--format"
                                || name == "--speed" || name == "--cafile" || name == "--cert" || name == "--key";
        if (!takesValue) {
            error = "unknown option: " + arguments[i];
            return false;
        }
        if (!hasInlineValue) {
            if (i + 1 >= arguments.size()) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = arguments[++i];
        }

        double number = 0.0;
        if (name == "--host") {
            if (value.empty()) {
                error = "--host needs a host name";
                return false;
            }
            host = value;
        } else if (name == "--port") {
            if (!parseNumber(value, number) || number != std::floor(number) || number < 1 || number > 65535) {
                error = "--port must be a whole number from 1 to 65535, not '" + value + "'";
                return false;
            }
            port = static_cast<int>(number);
        } else if (name == "--robot-id") {
            robotId = value;
        } else if (name == "--username") {
            username = value;
        } else if (name == "--password") {
            password = value;
        } else if (name == "--cafile" || name == "--cert" || name == "--key") {
            // A certificate file only makes sense encrypted.
            tls = true;
            (name == "--cafile" ? caFile : name == "--cert" ? certFile : keyFile) = value;
        } else if (name == "--rate") {
            if (!parseNumber(value, number) || number <= 0 || number > 1000) {
                error = "--rate must be a number of messages per second above 0 and at most 1000, not '" + value + "'";
                return false;
            }
            rate = number;
        } else if (name == "--speed") {
            if (!parseNumber(value, number) || number <= 0) {
                error = "--speed must be a positive number of PWM units per second, not '" + value + "'";
                return false;
            }
            speed = number;
        } else if (name == "--format") {
            if (value == "binary") {
                format = Format::Binary;
            } else if (value == "json") {
                format = Format::Json;
            } else {
                error = "--format must be 'binary' or 'json', not '" + value + "'";
                return false;
            }
        }
    }
    return true;
}

std::string SimulatorOptions::usage()
{
    return "Usage: kestro-robot-sim [options]\n"
           "A simulated 17-servo robot on the robot's MQTT topics: it follows set-PWM\n"
           "frames and the centre, relax and stop commands, and reports its servo\n"
           "positions as telemetry.\n"
           "\n"
           "  --host NAME         broker host (default localhost)\n"
           "  --port N            broker port (default 1883)\n"
           "  --robot-id ID       robot id; topics are robot/kestro/ID/control and\n"
           "                      robot/kestro/ID/status (default kestro)\n"
           "  --username NAME     broker user name\n"
           "  --password TEXT     broker password\n"
           "  --tls               encrypt the connection, verifying the broker against the\n"
           "                      system's trust store or --cafile\n"
           "  --cafile FILE       CA certificate that signed the broker's (implies --tls)\n"
           "  --cert FILE         client certificate, for brokers that want one (with --key)\n"
           "  --key FILE          key of the client certificate\n"
           "  --tls-insecure      encrypt but skip every check of the broker's certificate\n"
           "  --rate N            telemetry messages per second (default 20)\n"
           "  --format FORMAT     telemetry as 'binary' frames or 'json' {\"servos\": [...]}\n"
           "                      (default binary)\n"
           "  --speed N           servo speed in PWM units per second (default 300)\n"
           "  --quiet             no traffic summary on standard output\n"
           "  --help              this text\n";
}
