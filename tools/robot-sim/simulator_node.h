#pragma once

#include "tools/robot-sim/robot_simulator.h"
#include "tools/robot-sim/simulator_options.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>

struct mosquitto;
struct mosquitto_message;

// A RobotSimulator on a broker: subscribes to the control topic, applies what
// arrives there and publishes the servo positions on the status topic at the
// configured rate. Commands are reported on `out`, bad frames on `err`.
class SimulatorNode
{
public:
    struct Counters
    {
        uint64_t setPwmFrames = 0;
        uint64_t commands = 0;
        uint64_t malformedFrames = 0;
        uint64_t rejectedWhileStopped = 0;
        uint64_t telemetrySent = 0;
    };

    SimulatorNode(const SimulatorOptions& options, const std::array<int, RobotSimulator::kChannelCount>& centres,
                  std::ostream& out, std::ostream& err);
    ~SimulatorNode();
    SimulatorNode(const SimulatorNode&) = delete;
    SimulatorNode& operator=(const SimulatorNode&) = delete;

    // Starts connecting; the client reconnects by itself from then on.
    bool start();
    // One telemetry period: moves the servos by `seconds` and publishes.
    void tick(double seconds);
    // Ticks at the configured rate until `stopRequested` is set.
    void run(const std::atomic<bool>& stopRequested);

    bool isConnected() const { return m_connected; }
    Counters counters() const;
    std::array<int, RobotSimulator::kChannelCount> positions() const;
    RobotSimulator::Mode mode() const;
    const std::string& controlTopic() const { return m_controlTopic; }
    const std::string& statusTopic() const { return m_statusTopic; }

private:
    bool enableTls();
    static void onConnect(mosquitto* client, void* userData, int code);
    static void onDisconnect(mosquitto* client, void* userData, int code);
    static void onMessage(mosquitto* client, void* userData, const mosquitto_message* message);

    void handleControlFrame(const uint8_t* data, size_t size);
    void printSummaryWhenDue();
    void say(std::ostream& stream, const std::string& line);

    SimulatorOptions m_options;
    std::string m_controlTopic;
    std::string m_statusTopic;
    std::ostream& m_out;
    std::ostream& m_err;
    std::mutex m_outputMutex;

    mutable std::mutex m_robotMutex; // guards m_robot and m_counters
    RobotSimulator m_robot;
    Counters m_counters;

    std::chrono::steady_clock::time_point m_lastSummary;
    uint64_t m_summaryFrames = 0;
    uint64_t m_summaryChannels = 0;
    uint64_t m_summaryRejected = 0;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_shuttingDown{false};
    bool m_libraryInitialised = false;
    mosquitto* m_client = nullptr;
};
