#include "tools/robot-sim/simulator_options.h"

#include <gtest/gtest.h>

TEST(SimulatorOptions, DefaultsMatchTheDashboardDefaults)
{
    SimulatorOptions options;
    std::string error;
    ASSERT_TRUE(options.parse({}, error));
    EXPECT_EQ(options.host, "localhost");
    EXPECT_EQ(options.port, 1883);
    EXPECT_EQ(options.robotId, "kestro");
    EXPECT_EQ(options.rate, 20.0);
    EXPECT_EQ(options.speed, 300.0);
    EXPECT_EQ(options.format, SimulatorOptions::Format::Binary);
    EXPECT_FALSE(options.quiet);
}

TEST(SimulatorOptions, ParsesEveryOptionInBothSpellings)
{
    SimulatorOptions options;
    std::string error;
    ASSERT_TRUE(options.parse({"--host", "broker.local", "--port=1999", "--robot-id", "robot/kestro/arm1/control",
                               "--username", "op", "--password=s3cret", "--rate", "50", "--format", "json",
                               "--speed=120.5", "--quiet"},
                              error))
        << error;
    EXPECT_EQ(options.host, "broker.local");
    EXPECT_EQ(options.port, 1999);
    EXPECT_EQ(options.robotId, "robot/kestro/arm1/control");
    EXPECT_EQ(options.username, "op");
    EXPECT_EQ(options.password, "s3cret");
    EXPECT_EQ(options.rate, 50.0);
    EXPECT_EQ(options.format, SimulatorOptions::Format::Json);
    EXPECT_EQ(options.speed, 120.5);
    EXPECT_TRUE(options.quiet);
    EXPECT_FALSE(options.tls) << "plain TCP unless asked";

    SimulatorOptions encrypted;
    ASSERT_TRUE(encrypted.parse({"--cafile", "ca.pem", "--cert=robot.crt", "--key", "robot.key"}, error)) << error;
    EXPECT_TRUE(encrypted.tls) << "a CA file implies TLS";
    EXPECT_FALSE(encrypted.tlsInsecure);
    EXPECT_EQ(encrypted.caFile, "ca.pem");
    EXPECT_EQ(encrypted.certFile, "robot.crt");
    EXPECT_EQ(encrypted.keyFile, "robot.key");
    SimulatorOptions insecure;
    ASSERT_TRUE(insecure.parse({"--tls-insecure"}, error)) << error;
    EXPECT_TRUE(insecure.tls && insecure.tlsInsecure);
}

TEST(SimulatorOptions, RefusesBadValuesWithAReadableReason)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--port", "0"},      {"--port", "65536"}, {"--port", "12.5"},   {"--port", "http"},
        {"--rate", "0"},      {"--rate", "-3"},    {"--rate", "nan"},    {"--speed", "0"},
        {"--format", "xml"},  {"--host", ""},      {"--port"},           {"--verbose"},
    };
    for (const auto& arguments : bad) {
        SimulatorOptions options;
        std::string error;
        EXPECT_FALSE(options.parse(arguments, error)) << arguments[0];
        EXPECT_FALSE(error.empty()) << arguments[0];
    }
}
