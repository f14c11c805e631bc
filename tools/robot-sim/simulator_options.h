#pragma once

#include <string>
#include <vector>

// Command-line options of kestro-robot-sim.
struct SimulatorOptions
{
    enum class Format
    {
        Binary,
        Json,
    };

    std::string host = "localhost";
    int port = 1883;
    std::string robotId = "kestro";
    std::string username;
    std::string password;
    // Encryption of the broker connection, as in the dashboard's settings.
    bool tls = false;
    std::string caFile;
    std::string certFile;
    std::string keyFile;
    bool tlsInsecure = false;
    double rate = 20.0;   // telemetry messages per second
    Format format = Format::Binary;
    double speed = 300.0; // PWM units per second, about a hobby servo's 0.2 s per 60 degrees
    bool quiet = false;
    bool help = false;

    // Parses argv[1..]; on failure returns false and sets error to a line
    // the user can act on.
    bool parse(const std::vector<std::string>& arguments, std::string& error);

    static std::string usage();
};
