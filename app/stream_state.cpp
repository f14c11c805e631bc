#include "app/stream_state.h"

StreamState streamState(const StreamInputs& in)
{
    // The robot ignores motion until it is centred, whatever else holds.
    if (in.robotStopped)
        return StreamState::RobotStopped;
    if (!in.teleopActive)
        return StreamState::Standby;
    if (!in.brokerConnected)
        return StreamState::BrokerNotConnected;
    if (!in.hasTarget || !in.personInView)
        return StreamState::WaitingForPerson;
    if (in.poseAgeMs > in.watchdogMs)
        return StreamState::PoseStale;
    return StreamState::Sending;
}

QString streamStateText(StreamState state, const StreamInputs& in)
{
    switch (state) {
    case StreamState::Standby:
        return QStringLiteral("Standby: no motion is sent.");
    case StreamState::Sending:
        return QStringLiteral("Sending: %1 frames/s, pose %2 ms old").arg(in.framesPerSecond, 0, 'f', 0).arg(in.poseAgeMs);
    case StreamState::WaitingForPerson:
        return QStringLiteral("Waiting for a person in view: nothing is sent.");
    case StreamState::PoseStale:
        return QStringLiteral("Pose stale (%1 s old, watchdog %2 ms): nothing is sent.")
            .arg(static_cast<double>(in.poseAgeMs) / 1000.0, 0, 'f', 1)
            .arg(in.watchdogMs);
    case StreamState::BrokerNotConnected:
        return QStringLiteral("Broker not connected: nothing is sent.");
    case StreamState::RobotStopped:
        return QStringLiteral("Robot STOPPED: press Center to re-arm.");
    }
    return {};
}

QString streamStateStyle(StreamState state)
{
    switch (state) {
    case StreamState::Sending:
        return QStringLiteral("color: #00ff88; font-weight: bold; padding: 0 8px;");
    case StreamState::Standby:
        return QStringLiteral("color: #aaaaaa; padding: 0 8px;");
    case StreamState::RobotStopped:
        return QStringLiteral("background-color: #8b0000; color: #fff; font-weight: bold; padding: 0 8px; "
                              "border-radius: 4px;");
    default:
        return QStringLiteral("color: #ffaa00; font-weight: bold; padding: 0 8px;");
    }
}
