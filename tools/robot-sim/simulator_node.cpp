#include "tools/robot-sim/simulator_node.h"

#include "mqtt/mosquitto.h"
#include "mqtt/mqtt_client.h"

#include <sstream>
#include <thread>

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr auto kSummaryPeriod = std::chrono::seconds(1);

const char* modeName(RobotSimulator::Mode mode)
{
    switch (mode) {
    case RobotSimulator::Mode::Active:
        return "active";
    case RobotSimulator::Mode::Relaxed:
        return "relaxed";
    case RobotSimulator::Mode::Stopped:
        return "stopped";
    }
    return "?";
}

} // namespace

SimulatorNode::SimulatorNode(const SimulatorOptions& options,
                             const std::array<int, RobotSimulator::kChannelCount>& centres, std::ostream& out,
                             std::ostream& err)
    : m_options(options)
    , m_out(out)
    , m_err(err)
    , m_robot(centres, options.speed)
    , m_lastSummary(std::chrono::steady_clock::now())
{
    const std::string id = MqttClient::normalizeRobotId(QString::fromStdString(options.robotId)).toStdString();
    m_controlTopic = "robot/kestro/" + id + "/control";
    m_statusTopic = "robot/kestro/" + id + "/status";
}

SimulatorNode::~SimulatorNode()
{
    if (m_client) {
        m_shuttingDown = true;
        mosquitto_disconnect(m_client);
        mosquitto_loop_stop(m_client, false);
        mosquitto_destroy(m_client);
    }
    if (m_libraryInitialised)
        mosquitto_lib_cleanup();
}

bool SimulatorNode::start()
{
    if (!m_libraryInitialised) {
        if (const int code = mosquitto_lib_init(); code != MOSQ_ERR_SUCCESS) {
            say(m_err, std::string("robot-sim: MQTT library start failed: ") + mosquitto_strerror(code));
            return false;
        }
        m_libraryInitialised = true;
    }
    if (!m_client) {
        m_client = mosquitto_new(nullptr, true, this);
        if (!m_client) {
            say(m_err, "robot-sim: could not create the MQTT client");
            return false;
        }
        mosquitto_connect_callback_set(m_client, &SimulatorNode::onConnect);
        mosquitto_disconnect_callback_set(m_client, &SimulatorNode::onDisconnect);
        mosquitto_message_callback_set(m_client, &SimulatorNode::onMessage);
    }
    if (!m_options.username.empty()) {
        mosquitto_username_pw_set(m_client, m_options.username.c_str(),
                                  m_options.password.empty() ? nullptr : m_options.password.c_str());
    }
    if (m_options.tls && !enableTls())
        return false;
    const int code = mosquitto_connect_async(m_client, m_options.host.c_str(), m_options.port, kKeepAliveSeconds);
    if (code != MOSQ_ERR_SUCCESS) {
        say(m_err, std::string("robot-sim: cannot connect: ") + mosquitto_strerror(code));
        return false;
    }
    mosquitto_loop_start(m_client);
    say(m_out, "robot-sim: robot on " + m_controlTopic + " -> " + m_statusTopic + ", broker " + m_options.host + ":"
                   + std::to_string(m_options.port)
                   + (!m_options.tls ? "" : m_options.tlsInsecure ? " (TLS, unverified)" : " (TLS)"));
    return true;
}

bool SimulatorNode::enableTls()
{
    const auto pathOrNull = [](const std::string& path) { return path.empty() ? nullptr : path.c_str(); };
    if (mosquitto_tls_set(m_client, pathOrNull(m_options.caFile), nullptr, pathOrNull(m_options.certFile),
                          pathOrNull(m_options.keyFile), nullptr) != MOSQ_ERR_SUCCESS) {
        say(m_err, "robot-sim: cannot use the TLS files: each named file must be readable, and --cert and --key "
                   "go together");
        return false;
    }
    mosquitto_tls_opts_set(m_client, m_options.tlsInsecure ? 0 : 1, nullptr, nullptr);
    mosquitto_tls_insecure_set(m_client, m_options.tlsInsecure);
    return true;
}

void SimulatorNode::onConnect(mosquitto* client, void* userData, int code)
{
    auto* self = static_cast<SimulatorNode*>(userData);
    if (code != 0) {
        // Repeats once per attempt while the broker is away; one line each
        // is what an operator watching the terminal needs.
        if (code == MOSQ_ERR_TLS) {
            char reason[512] = {};
            mosquitto_tls_last_error(client, reason, sizeof reason);
            self->say(self->m_err, std::string("robot-sim: connection failed: ") + reason);
        } else {
            self->say(self->m_err, "robot-sim: connection failed with code " + std::to_string(code));
        }
        return;
    }
    self->m_connected = true;
    const int result = mosquitto_subscribe(client, nullptr, self->m_controlTopic.c_str(), 0);
    if (result != MOSQ_ERR_SUCCESS)
        self->say(self->m_err, std::string("robot-sim: subscribe failed: ") + mosquitto_strerror(result));
    self->say(self->m_out, "robot-sim: connected");
}

void SimulatorNode::onDisconnect(mosquitto*, void* userData, int)
{
    auto* self = static_cast<SimulatorNode*>(userData);
    self->m_connected = false;
    if (!self->m_shuttingDown)
        self->say(self->m_out, "robot-sim: connection lost, reconnecting");
}

void SimulatorNode::onMessage(mosquitto*, void* userData, const mosquitto_message* message)
{
    auto* self = static_cast<SimulatorNode*>(userData);
    if (!message || !message->topic || self->m_controlTopic != message->topic)
        return;
    self->handleControlFrame(static_cast<const uint8_t*>(message->payload),
                             message->payloadLength > 0 ? static_cast<size_t>(message->payloadLength) : 0);
}

void SimulatorNode::handleControlFrame(const uint8_t* data, size_t size)
{
    RobotSimulator::FrameResult result;
    {
        std::lock_guard<std::mutex> lock(m_robotMutex);
        result = m_robot.applyControlFrame(data, size);
        switch (result.kind) {
        case RobotSimulator::FrameKind::SetPwm:
            ++m_counters.setPwmFrames;
            if (result.rejectedWhileStopped) {
                ++m_counters.rejectedWhileStopped;
                ++m_summaryRejected;
            } else {
                ++m_summaryFrames;
                m_summaryChannels += static_cast<uint64_t>(result.channelsSet);
            }
            break;
        case RobotSimulator::FrameKind::Malformed:
            ++m_counters.malformedFrames;
            break;
        case RobotSimulator::FrameKind::Centre:
        case RobotSimulator::FrameKind::Relax:
        case RobotSimulator::FrameKind::Stop:
            ++m_counters.commands;
            break;
        case RobotSimulator::FrameKind::Ignored:
            break;
        }
    }

    switch (result.kind) {
    case RobotSimulator::FrameKind::Centre:
        say(m_out, "robot-sim: centre: moving every servo to its centre");
        break;
    case RobotSimulator::FrameKind::Relax:
        say(m_out, "robot-sim: relax: torque off, holding position");
        break;
    case RobotSimulator::FrameKind::Stop:
        say(m_out, "robot-sim: STOP: servos hold; set-PWM ignored until a centre command");
        break;
    case RobotSimulator::FrameKind::SetPwm:
        if (result.firstRejectedWhileStopped)
            say(m_out, "robot-sim: ignoring set-PWM frames while stopped (send centre to re-arm)");
        break;
    case RobotSimulator::FrameKind::Malformed:
        say(m_err, "robot-sim: ignored malformed frame (" + std::to_string(size) + " bytes): " + result.error);
        break;
    case RobotSimulator::FrameKind::Ignored:
        break;
    }
}

void SimulatorNode::tick(double seconds)
{
    std::string payload;
    {
        std::lock_guard<std::mutex> lock(m_robotMutex);
        m_robot.advance(seconds);
        if (m_options.format == SimulatorOptions::Format::Binary) {
            const auto frame = m_robot.binaryTelemetry();
            payload.assign(frame.begin(), frame.end());
        } else {
            payload = m_robot.jsonTelemetry();
        }
    }
    if (m_client && m_connected) {
        const int code = mosquitto_publish(m_client, nullptr, m_statusTopic.c_str(), static_cast<int>(payload.size()),
                                           payload.data(), 0, false);
        if (code == MOSQ_ERR_SUCCESS) {
            std::lock_guard<std::mutex> lock(m_robotMutex);
            ++m_counters.telemetrySent;
        }
    }
    printSummaryWhenDue();
}

void SimulatorNode::printSummaryWhenDue()
{
    const auto now = std::chrono::steady_clock::now();
    if (now - m_lastSummary < kSummaryPeriod)
        return;
    uint64_t frames = 0;
    uint64_t channels = 0;
    uint64_t rejected = 0;
    RobotSimulator::Mode mode;
    {
        std::lock_guard<std::mutex> lock(m_robotMutex);
        frames = m_summaryFrames;
        channels = m_summaryChannels;
        rejected = m_summaryRejected;
        mode = m_robot.mode();
        m_summaryFrames = 0;
        m_summaryChannels = 0;
        m_summaryRejected = 0;
    }
    const double elapsed = std::chrono::duration<double>(now - m_lastSummary).count();
    m_lastSummary = now;
    if (m_options.quiet || (frames == 0 && rejected == 0))
        return;
    std::ostringstream line;
    line.setf(std::ios::fixed);
    line.precision(1);
    line << "robot-sim: set-PWM " << frames << " frames, " << channels << " channel updates in " << elapsed
         << " s";
    if (rejected > 0)
        line << ", " << rejected << " ignored while stopped";
    line << " (" << modeName(mode) << ")";
    say(m_out, line.str());
}

void SimulatorNode::run(const std::atomic<bool>& stopRequested)
{
    const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(1.0 / m_options.rate));
    auto last = std::chrono::steady_clock::now();
    auto next = last + period;
    while (!stopRequested) {
        std::this_thread::sleep_until(next);
        const auto now = std::chrono::steady_clock::now();
        tick(std::chrono::duration<double>(now - last).count());
        last = now;
        next += period;
        // After a long stall (a suspended machine) do not burst to catch up.
        if (next < now)
            next = now + period;
    }
}

SimulatorNode::Counters SimulatorNode::counters() const
{
    std::lock_guard<std::mutex> lock(m_robotMutex);
    return m_counters;
}

std::array<int, RobotSimulator::kChannelCount> SimulatorNode::positions() const
{
    std::lock_guard<std::mutex> lock(m_robotMutex);
    return m_robot.positions();
}

RobotSimulator::Mode SimulatorNode::mode() const
{
    std::lock_guard<std::mutex> lock(m_robotMutex);
    return m_robot.mode();
}

void SimulatorNode::say(std::ostream& stream, const std::string& line)
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    stream << line << std::endl;
}
