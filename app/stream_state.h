#pragma once

#include <QString>

#include <cstdint>

// What the teleoperation loop is actually doing, as one state the window can
// show beside the toggle. Fed from the window's own facts on every refresh;
// kept free of widgets so any part of the loop can ask it.
enum class StreamState { Standby, Sending, WaitingForPerson, PoseStale, BrokerNotConnected, RobotStopped };

struct StreamInputs
{
    bool teleopActive = false;
    bool robotStopped = false;    // a stop was delivered and no centre since
    bool brokerConnected = false;
    bool personInView = false;    // the last camera frame had a usable person
    bool hasTarget = false;       // a usable pose has arrived at all
    std::int64_t poseAgeMs = 0;   // age of the last usable pose
    int watchdogMs = 0;
    double framesPerSecond = 0.0; // set-PWM frames actually sent in the last second
};

StreamState streamState(const StreamInputs& inputs);
QString streamStateText(StreamState state, const StreamInputs& inputs);
// Inline style of the line: green while sending, red when stopped, amber
// when on but sending nothing, grey in standby.
QString streamStateStyle(StreamState state);
