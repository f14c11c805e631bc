// The simulator against a real broker: the dashboard's robot-link client on
// one side, the simulated robot on the other.
#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_client.h"
#include "tests/support/child_process.h"
#include "tests/support/mosquitto_broker.h"
#include "tests/support/test_pki.h"
#include "tests/support/wait_for.h"
#include "tools/robot-sim/simulator_node.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

const std::array<int, 17> kCentres = {160, 161, 141, 168, 158, 158, 252, 159, 163,
                                      69,  163, 161, 129, 150, 165, 162, 90};

using kestro_test::waitFor;

// The latest telemetry as the dashboard's client decodes it.
class TelemetryProbe
{
public:
    explicit TelemetryProbe(MqttClient& client)
    {
        QObject::connect(
            &client, &MqttClient::telemetryReceived, &client,
            [this](const std::array<int, 17>& values, const std::array<bool, 17>& valid) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_values = values;
                m_valid = valid;
                ++m_count;
            },
            Qt::DirectConnection);
    }

    std::array<int, 17> values() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_values;
    }
    int count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }
    bool allValid() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (bool flag : m_valid) {
            if (!flag)
                return false;
        }
        return true;
    }

private:
    mutable std::mutex m_mutex;
    std::array<int, 17> m_values{};
    std::array<bool, 17> m_valid{};
    int m_count = 0;
};

class SimulatorOnBroker : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_broker.start()) << m_broker.error();
        SimulatorOptions options;
        options.host = m_broker.host();
        options.port = m_broker.port();
        options.robotId = "sim-test/";
        options.rate = 50;
        options.speed = 100;
        m_node = std::make_unique<SimulatorNode>(options, kCentres, m_out, m_err);
        ASSERT_TRUE(m_node->start());
        m_runner = std::thread([this] { m_node->run(m_stop); });
        ASSERT_TRUE(waitFor([this] { return m_node->isConnected(); }));

        m_client.setRobotId("sim-test");
        ASSERT_TRUE(m_client.connectToBroker(m_broker.host(), m_broker.port(), "", "", 30));
        ASSERT_TRUE(waitFor([this] { return m_client.isConnected(); }));
        ASSERT_TRUE(waitFor([this] { return m_probe.count() > 0; })) << "no telemetry from the simulator";
    }

    void TearDown() override
    {
        m_client.disconnectFromBroker();
        m_stop = true;
        if (m_runner.joinable())
            m_runner.join();
        m_node.reset();
    }

    bool sendTargets(const std::vector<std::pair<int, int>>& targets)
    {
        ServoPwmArray pwm{};
        ServoValidArray valid{};
        for (const auto& [channel, value] : targets) {
            pwm[channel] = value;
            valid[channel] = true;
        }
        m_client.resetPwmTxCache();
        return m_client.sendPwm(pwm, m_client.controlTopic(), &valid);
    }

    int telemetryOf(int channel) const { return m_probe.values()[channel]; }

    kestro_test::MosquittoBroker m_broker;
    std::ostringstream m_out;
    std::ostringstream m_err;
    std::unique_ptr<SimulatorNode> m_node;
    std::atomic<bool> m_stop{false};
    std::thread m_runner;
    MqttClient m_client;
    TelemetryProbe m_probe{m_client};
};

} // namespace

TEST_F(SimulatorOnBroker, TelemetryStartsAtTheCentresAndConvergesAtTheConfiguredSpeed)
{
    EXPECT_EQ(m_probe.values(), kCentres);
    EXPECT_TRUE(m_probe.allValid());

    // 100 PWM units at 100 units per second: about one second, never less.
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(sendTargets({{3, 268}, {16, 40}}));
    ASSERT_TRUE(waitFor([this] { return telemetryOf(3) == 268; }, 10s)) << telemetryOf(3);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(seconds, 0.9);
    EXPECT_LT(seconds, 5.0);
    EXPECT_TRUE(waitFor([this] { return telemetryOf(16) == 40; }, 5s));
    EXPECT_EQ(telemetryOf(4), kCentres[4]);
}

// Robot and dashboard both on a broker that encrypts and wants a client
// certificate from each: a dashboard that trusts the wrong CA is refused
// with the reason, the right one drives the robot.
TEST(SimulatorOverTls, TheWholeLoopRunsEncryptedAndVerified)
{
    kestro_test::TestPki pki;
    kestro_test::TestPki otherPki("another CA");
    const auto brokerCertificate = pki.issueLoopbackBroker("broker");
    const auto robotCertificate = pki.issue("robot", {});
    const auto dashboardCertificate = pki.issue("dashboard", {});
    ASSERT_TRUE(pki.ok() && otherPki.ok()) << pki.error() << otherPki.error();
    kestro_test::MosquittoBroker::Options brokerOptions;
    brokerOptions.caFile = pki.caFile();
    brokerOptions.certFile = brokerCertificate.certFile;
    brokerOptions.keyFile = brokerCertificate.keyFile;
    brokerOptions.requireClientCertificate = true;
    kestro_test::MosquittoBroker broker(brokerOptions);
    ASSERT_TRUE(broker.start()) << broker.error();

    std::ostringstream out;
    std::ostringstream err;
    SimulatorOptions options;
    std::string error;
    ASSERT_TRUE(options.parse({"--host", "localhost", "--port", std::to_string(broker.port()), "--robot-id",
                               "tls-robot", "--rate", "50", "--speed", "1000", "--cafile", pki.caFile(), "--cert",
                               robotCertificate.certFile, "--key", robotCertificate.keyFile},
                              error))
        << error;
    SimulatorNode node(options, kCentres, out, err);
    ASSERT_TRUE(node.start());
    std::atomic<bool> stop{false};
    std::thread runner([&] { node.run(stop); });
    EXPECT_TRUE(waitFor([&] { return node.isConnected(); })) << err.str() << broker.log();

    MqttClient dashboard;
    TelemetryProbe probe(dashboard);
    std::vector<QString> errors;
    std::mutex errorsMutex;
    QObject::connect(
        &dashboard, &MqttClient::connectionError, &dashboard,
        [&](const QString& message) {
            std::lock_guard<std::mutex> lock(errorsMutex);
            errors.push_back(message);
        },
        Qt::DirectConnection);
    const auto firstError = [&] {
        std::lock_guard<std::mutex> lock(errorsMutex);
        return errors.empty() ? QString() : errors.front();
    };
    dashboard.setRobotId("tls-robot");
    MqttTlsSettings tls{true, otherPki.caFile(), dashboardCertificate.certFile, dashboardCertificate.keyFile, false};
    dashboard.setTlsSettings(tls);
    ASSERT_TRUE(dashboard.connectToBroker("localhost", broker.port(), "", "", 30));
    ASSERT_TRUE(waitFor([&] { return !firstError().isEmpty(); }));
    EXPECT_TRUE(firstError().startsWith("MQTT Connection failed: certificate verify failed: ")) << firstError().toStdString();
    EXPECT_FALSE(dashboard.isConnected());

    tls.caFile = pki.caFile();
    dashboard.setTlsSettings(tls);
    ASSERT_TRUE(dashboard.connectToBroker("localhost", broker.port(), "", "", 30));
    EXPECT_TRUE(waitFor([&] { return dashboard.isConnected(); })) << broker.log();
    ServoPwmArray pwm{};
    ServoValidArray valid{};
    pwm[ServoChannel::HeadYaw] = 60;
    valid[ServoChannel::HeadYaw] = true;
    EXPECT_TRUE(waitFor([&] {
        dashboard.resetPwmTxCache();
        dashboard.sendPwm(pwm, dashboard.controlTopic(), &valid);
        return waitFor([&] { return probe.values()[ServoChannel::HeadYaw] == 60; }, 500ms);
    })) << probe.values()[ServoChannel::HeadYaw];

    dashboard.disconnectFromBroker();
    stop = true;
    runner.join();
}

TEST_F(SimulatorOnBroker, StopLatchesUntilCentre)
{
    ASSERT_TRUE(sendTargets({{7, 259}}));
    ASSERT_TRUE(waitFor([this] { return telemetryOf(7) > 180; }));
    ASSERT_TRUE(m_client.sendStop(m_client.controlTopic()));
    ASSERT_TRUE(waitFor([this] { return m_node->mode() == RobotSimulator::Mode::Stopped; }));
    const int held = m_node->positions()[7];

    ASSERT_TRUE(sendTargets({{7, 100}}));
    ASSERT_TRUE(sendTargets({{7, 110}}));
    ASSERT_TRUE(waitFor([this] { return m_node->counters().rejectedWhileStopped == 2; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(m_node->positions()[7], held);
    EXPECT_TRUE(waitFor([this, held] { return telemetryOf(7) == held; }));

    ASSERT_TRUE(m_client.sendCenter(m_client.controlTopic()));
    ASSERT_TRUE(waitFor([this] { return telemetryOf(7) == kCentres[7]; }));
    EXPECT_EQ(m_node->mode(), RobotSimulator::Mode::Active);
}

TEST_F(SimulatorOnBroker, RelaxHoldsWhereTheServosAre)
{
    ASSERT_TRUE(sendTargets({{10, 263}}));
    ASSERT_TRUE(waitFor([this] { return telemetryOf(10) > 190; }));
    ASSERT_TRUE(m_client.sendRelax(m_client.controlTopic()));
    ASSERT_TRUE(waitFor([this] { return m_node->mode() == RobotSimulator::Mode::Relaxed; }));
    const int held = m_node->positions()[10];
    EXPECT_LT(held, 263);
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(m_node->positions()[10], held);
    EXPECT_TRUE(waitFor([this, held] { return telemetryOf(10) == held; }));
}

TEST_F(SimulatorOnBroker, MalformedFramesAreIgnoredAndCounted)
{
    // A second, raw client of ours puts bytes on the control topic that the
    // dashboard would never send.
    mosquitto* raw = mosquitto_new(nullptr, true, nullptr);
    ASSERT_NE(raw, nullptr);
    ASSERT_EQ(mosquitto_connect_async(raw, m_broker.host(), m_broker.port(), 30), 0);
    ASSERT_EQ(mosquitto_loop_start(raw), 0);
    const std::string topic = m_node->controlTopic();
    const std::vector<std::vector<uint8_t>> frames = {
        {'K', 'S', 'B', '2', 3, 0},                      // bad magic
        {'K', 'S', 'B', '1', 8, 9, 3, 3, 4, 150, 0},     // length byte too large
        {'K', 'S', 'B', '1', 42, 0},                     // unknown type
        {'K', 'S', 'B', '1', 8, 4, 3, 3, 4, 150},        // truncated TLV
        {'K', 'S', 'B', '1', 8, 5, 3, 3, 17, 10, 0},     // channel 17
        {'h', 'e', 'l', 'l', 'o'},
    };
    ASSERT_TRUE(waitFor([&] {
        return mosquitto_publish(raw, nullptr, topic.c_str(), 1, "x", 0, false) == MOSQ_ERR_SUCCESS;
    }));
    for (const auto& frame : frames) {
        ASSERT_EQ(mosquitto_publish(raw, nullptr, topic.c_str(), static_cast<int>(frame.size()), frame.data(), 0, false),
                  MOSQ_ERR_SUCCESS);
    }
    EXPECT_TRUE(waitFor([&] { return m_node->counters().malformedFrames == frames.size() + 1; }))
        << m_node->counters().malformedFrames;
    mosquitto_disconnect(raw);
    mosquitto_loop_stop(raw, false);
    mosquitto_destroy(raw);

    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(m_node->positions(), kCentres);
    EXPECT_EQ(m_node->counters().setPwmFrames, 0u);
}

TEST(RobotSimulatorProgram, HelpAndBadOptions)
{
    EXPECT_EQ(kestro_test::runProgram({KESTRO_ROBOT_SIM_PATH, "--help"}), 0);
    EXPECT_EQ(kestro_test::runProgram({KESTRO_ROBOT_SIM_PATH, "--format", "xml"}), 2);
}

TEST(RobotSimulatorProgram, PublishesTheEmbeddedCentresAsJsonAndStopsOnSigterm)
{
    kestro_test::MosquittoBroker broker;
    ASSERT_TRUE(broker.start()) << broker.error();
    const std::string port = std::to_string(broker.port());

    kestro_test::ChildProcess sim;
    ASSERT_TRUE(sim.start({KESTRO_ROBOT_SIM_PATH, "--host", broker.host(), "--port", port, "--robot-id",
                           "robot/kestro/json-bot/status", "--format", "json", "--rate", "40"}));
    ASSERT_TRUE(sim.waitForOutput("robot-sim: connected", 10s)) << sim.output();

    kestro_test::ChildProcess subscriber;
    ASSERT_TRUE(subscriber.start({"/usr/bin/mosquitto_sub", "-h", broker.host(), "-p", port, "-C", "1", "-t",
                                  "robot/kestro/json-bot/status"}));
    ASSERT_TRUE(subscriber.waitForOutput("]}", 10s)) << subscriber.output();
    EXPECT_EQ(subscriber.output(), "{\"servos\": [160, 161, 141, 168, 158, 158, 252, 159, 163, 69, 163, 161, 129, "
                                   "150, 165, 162, 90]}\n");

    EXPECT_EQ(sim.stop(SIGTERM) & 0xFFFF, 0) << "the simulator should exit cleanly on SIGTERM";
}
