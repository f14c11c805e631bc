#pragma once

#include "robot/joint_set.h"

#include <cstddef>
#include <cstdint>

// One decoded status message: the PWM value of every channel it carried.
struct ServoTelemetry
{
    ServoPwmArray pwm{};
    ServoValidArray valid{};
    int channelCount = 0; // how many channels were set (repeats counted)
};

// Decodes a status payload in any of its four shapes: a binary robot frame of
// type 1, {"channel": c, "pos"|"pwm": v}, {"servos": [...]}, or a bare array.
// Returns false, leaving telemetry untouched, when nothing usable was found;
// malformed and foreign payloads are not errors, just ignored.
bool decodeTelemetry(const uint8_t* payload, size_t size, ServoTelemetry& telemetry);
